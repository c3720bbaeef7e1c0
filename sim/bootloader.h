// A model of the EFM8 factory bootloader, for tests and the demo: it takes
// the "$"-framed commands a host sends and keeps a part's flash, by default
// a 16 KB EFM8UB1's. It knows nothing of the transport; sim/hidapi_sim.cpp,
// the usbdevfs emulator and the pseudo-terminal board all drive it.
#ifndef EFM8SIM_BOOTLOADER_H
#define EFM8SIM_BOOTLOADER_H

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace efm8sim {

constexpr std::size_t FLASH_SIZE = 16384;
constexpr std::size_t PAGE_SIZE = 512;
constexpr std::uint32_t APP_END = 0x3A00;  // first byte of the bootloader itself
constexpr std::uint32_t LOCK_BYTE = 0xFBFF;  // the UB1's, above its code flash
constexpr std::size_t DATA_MAX = 128;       // data bytes one erase or write may carry
constexpr std::uint16_t UB1_IDENTITY = 0x3245;
constexpr std::size_t NEVER = SIZE_MAX;  // a fault index that is never reached

constexpr std::uint8_t CMD_IDENTIFY = 0x30;
constexpr std::uint8_t CMD_SETUP = 0x31;
constexpr std::uint8_t CMD_ERASE = 0x32;
constexpr std::uint8_t CMD_WRITE = 0x33;
constexpr std::uint8_t CMD_VERIFY = 0x34;
constexpr std::uint8_t CMD_LOCK = 0x35;
constexpr std::uint8_t CMD_RUNAPP = 0x36;

constexpr std::uint8_t REPLY_ACK = 0x40;        // '@'
constexpr std::uint8_t REPLY_RANGE = 0x41;      // 'A'
constexpr std::uint8_t REPLY_BAD_ID = 0x42;     // 'B'
constexpr std::uint8_t REPLY_BAD_CRC = 0x43;    // 'C'
constexpr std::uint8_t REPLY_REVISION = 0x90;   // any unknown command

constexpr std::uint8_t SIGNATURE_ENABLED = 0xA5;

// Where a part keeps what: flash_size bytes of code flash from 0, the
// application below app_end, erases of page_size bytes, and the lock byte
// (with the bootloader signature byte just below it), inside the code flash
// or above it.
struct Layout {
    std::size_t flash_size = FLASH_SIZE;
    std::uint32_t app_end = APP_END;
    std::size_t page_size = PAGE_SIZE;
    std::uint32_t lock_byte = LOCK_BYTE;
};

// What the real chip spends; off (all zero) unless a benchmark sets it.
struct Latency {
    std::chrono::nanoseconds per_transfer{0};
    std::chrono::nanoseconds per_page_erase{0};
    std::chrono::nanoseconds per_written_byte{0};
    bool sleeps = true;  // false: the time is only counted, for models of slow links
};

std::uint16_t crc16_xmodem_update(std::uint16_t crc, std::uint8_t byte);
std::uint16_t crc16_xmodem(const std::uint8_t *data, std::size_t len);

class Bootloader {
public:
    Bootloader();

    // One report as it arrived on the wire, starting with '$'. Anything else
    // is ignored, as the chip does.
    void receive(const std::uint8_t *report, std::size_t len);
    // The reply to the last command; reading the reply to run application
    // resets the chip (reset_chip), which leaves bootloader mode unless its
    // flash byte 0 is 0xFF.
    std::uint8_t take_reply();

    // False once the device left bootloader mode or vanished: it no longer
    // shows up as the bootloader and transfers to it fail. Another thread
    // may ask while this one is driven, as a bus enumeration does.
    bool on_bus() const { return on_bus_; }
    void set_identity(std::uint16_t identity) { identity_ = identity; }
    // The chip is reset into its bootloader again (boot pin held low): it
    // shows up on the bus, flash keys cleared, flash kept.
    void reset_into_bootloader();
    // A power-on or pin reset as the chip takes it: into its bootloader
    // when the entry pin is low then or flash byte 0 is 0xFF (and the
    // bootloader is enabled), else into its application, off the bus.
    void reset_chip(bool entry_pin_low);
    // Another part's flash: flash_size bytes, the application below app_end.
    // The flash is erased.
    void set_flash_layout(std::size_t flash_size, std::uint32_t app_end);
    void set_layout(const Layout &layout);
    const Layout &layout() const { return layout_; }

    // Programmed by the lock command, as flash is: bits only ever clear.
    // A signature other than 0xA5 keeps the chip from ever entering its
    // bootloader after its next reset.
    std::uint8_t lock_byte() const { return byte_at(layout_.lock_byte); }
    std::uint8_t signature_byte() const { return byte_at(layout_.lock_byte - 1); }

    // Fault injection, commands counted from 0 in the order received.
    void answer_command_with(std::size_t index, std::uint8_t code) { forced_replies_[index] = code; }
    void vanish_after_command(std::size_t index) { vanish_after_ = index; }

    void set_latency(const Latency &latency) { latency_ = latency; }
    const Latency &latency() const { return latency_; }
    // Time the real chip would have spent on everything received so far.
    std::chrono::nanoseconds device_time() const { return device_time_; }

    std::vector<std::uint8_t> &flash() { return flash_; }
    const std::vector<std::uint8_t> &flash() const { return flash_; }
    // Every frame received, '$' first, as it arrived.
    const std::vector<std::vector<std::uint8_t>> &frames() const { return frames_; }

private:
    std::uint8_t execute(std::uint8_t command, const std::uint8_t *payload, std::size_t len);
    std::uint8_t erase(const std::uint8_t *payload, std::size_t len);
    std::uint8_t write(std::uint32_t address, const std::uint8_t *data, std::size_t len);
    std::uint8_t verify(const std::uint8_t *payload, std::size_t len);
    std::uint8_t lock(const std::uint8_t *payload, std::size_t len);
    void spend(std::chrono::nanoseconds time);
    bool keys_set() const { return key1_ == 0xA5 && key2_ == 0xF1; }
    // The code flash, and the lock and signature bytes where they lie
    // above it; nullptr for any other address.
    const std::uint8_t *cell(std::uint32_t address) const;
    std::uint8_t *cell(std::uint32_t address);
    std::uint8_t byte_at(std::uint32_t address) const { return *cell(address); }
    bool bootloader_disabled() const { return signature_byte() != SIGNATURE_ENABLED && signature_byte() != 0xFF; }

    Layout layout_;
    std::vector<std::uint8_t> flash_;
    std::uint8_t security_[2] = {0xFF, 0xFF};  // signature and lock bytes above the code flash
    std::vector<std::vector<std::uint8_t>> frames_;
    std::map<std::size_t, std::uint8_t> forced_replies_;
    std::size_t vanish_after_ = NEVER;
    std::uint16_t identity_ = UB1_IDENTITY;
    std::uint8_t key1_ = 0, key2_ = 0, bank_ = 0;
    std::uint8_t reply_ = 0;
    bool leaving_ = false;
    std::atomic<bool> on_bus_{true};
    Latency latency_;
    std::chrono::nanoseconds device_time_{0};
};

}  // namespace efm8sim

#endif
