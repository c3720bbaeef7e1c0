// A model of the EFM8UB1 factory USB bootloader, for tests and the demo: it
// takes the "$"-framed commands a host sends and keeps a 16 KB flash image.
// It knows nothing of the transport; sim/hidapi_sim.cpp and the usbdevfs
// emulator both drive it.
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

// What the real chip spends; off (all zero) unless a benchmark sets it.
struct Latency {
    std::chrono::nanoseconds per_transfer{0};
    std::chrono::nanoseconds per_page_erase{0};
    std::chrono::nanoseconds per_written_byte{0};
};

std::uint16_t crc16_xmodem(const std::uint8_t *data, std::size_t len);

class Bootloader {
public:
    Bootloader();

    // One report as it arrived on the wire, starting with '$'. Anything else
    // is ignored, as the chip does.
    void receive(const std::uint8_t *report, std::size_t len);
    // The reply to the last command; reading the reply to run application
    // makes the device leave bootloader mode.
    std::uint8_t take_reply();

    // False once the device left bootloader mode or vanished: it no longer
    // shows up as the bootloader and transfers to it fail. Another thread
    // may ask while this one is driven, as a bus enumeration does.
    bool on_bus() const { return on_bus_; }
    void set_identity(std::uint16_t identity) { identity_ = identity; }
    // The chip is reset into its bootloader again (boot pin held low): it
    // shows up on the bus, flash keys cleared, flash kept.
    void reset_into_bootloader();
    // Another part's flash: flash_size bytes, the application below app_end.
    // The flash is erased.
    void set_flash_layout(std::size_t flash_size, std::uint32_t app_end);

    // Fault injection, commands counted from 0 in the order received.
    void answer_command_with(std::size_t index, std::uint8_t code) { forced_replies_[index] = code; }
    void vanish_after_command(std::size_t index) { vanish_after_ = index; }

    void set_latency(const Latency &latency) { latency_ = latency; }
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
    void spend(std::chrono::nanoseconds time);
    bool keys_set() const { return key1_ == 0xA5 && key2_ == 0xF1; }

    std::uint32_t app_end_ = APP_END;
    std::vector<std::uint8_t> flash_;
    std::vector<std::vector<std::uint8_t>> frames_;
    std::map<std::size_t, std::uint8_t> forced_replies_;
    std::size_t vanish_after_ = NEVER;
    std::uint16_t identity_ = UB1_IDENTITY;
    std::uint8_t key1_ = 0, key2_ = 0, bank_ = 0;
    std::uint8_t signature_ = 0xFF, lock_ = 0xFF;
    std::uint8_t reply_ = 0;
    bool leaving_ = false;
    std::atomic<bool> on_bus_{true};
    Latency latency_;
    std::chrono::nanoseconds device_time_{0};
};

}  // namespace efm8sim

#endif
