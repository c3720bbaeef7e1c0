// The bootloader model behind a pseudo-terminal, for tests, benchmarks and
// the demo. The host opens the terminal's slave side as it would open
// /dev/ttyUSB0, through the kernel's real tty layer; the board answers on the
// master side from a thread of its own, as the chip's UART bootloader does:
// nothing until the training byte, then one reply byte per record.
#ifndef EFM8SIM_UART_BOARD_H
#define EFM8SIM_UART_BOARD_H

#include "bootloader.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <termios.h>

struct efm8_part;

namespace efm8sim {

// Where a part of the product's table keeps what.
Layout layout_of(const efm8_part &part);

// Commands counted from 0 in the order the board received them. A wrong
// reply byte is the model's own fault (Bootloader::answer_command_with).
struct UartFaults {
    std::size_t silent_from = NEVER;  // from this command on, no reply: the chip went into its application
    std::size_t hang_up_at = NEVER;   // the line drops when this command arrives
    std::size_t slow_at = NEVER;      // this command's reply comes late
    std::chrono::milliseconds slow_by{0};
};

class UartBoard {
public:
    explicit UartBoard(const Layout &layout = Layout{}, std::uint16_t identity = UB1_IDENTITY);
    ~UartBoard();
    UartBoard(const UartBoard &) = delete;
    UartBoard &operator=(const UartBoard &) = delete;

    // The terminal the host opens.
    const std::string &path() const { return path_; }

    // The model and the faults belong to the board's thread while a host
    // talks to it: set them before, read them after, or hold lock().
    Bootloader &model() { return model_; }
    UartFaults &faults() { return faults_; }
    std::mutex &lock() { return lock_; }

    // Every byte from the host, training bytes included, and how many the
    // board sent back.
    std::vector<std::uint8_t> received();
    std::size_t sent();
    bool trained();
    // The line's settings as the host left them: a pseudo-terminal's master
    // reads its slave's.
    termios line_settings();

    // Bytes the board puts on the line unasked, as noise or an application
    // would; they wait in the host's input until it reads or flushes.
    void say(const std::vector<std::uint8_t> &bytes);
    // Pulls the plug: the line drops and the terminal is gone for good.
    void hang_up();
    // The chip is reset into its bootloader: it waits for a training byte
    // again, unless its bootloader was disabled.
    void reset_into_bootloader();
    // Told of each event, from the board's thread: "trained", "record 32"
    // (the command, hex), "reply 40", "silent", "hung up"; and from the
    // caller's of the chip's own: "bootloader", "application".
    void observe(std::function<void(const std::string &event)> observer);

    // The chip around the bootloader. Its reset and entry pins, high unless
    // driven low: held in reset it takes nothing; on release it starts as
    // Bootloader::reset_chip says. A power-on is a release with both pins
    // high. Its application ignores bootloader records and jumps into the
    // bootloader on its enter command (the 0xA5-in-R0 software reset).
    enum class Pin { Reset, Entry };
    void set_pin(Pin pin, bool high);
    void power_on();
    void set_enter_command(const std::vector<std::uint8_t> &command);

    // The line as a real one runs, for benchmarks: each byte either way
    // takes its 10 bits (start, 8 data, stop) at the baud rate the host set,
    // and a record's reply leaves once its last byte has arrived and the
    // chip has spent what the model's latency says on it. Off, the board
    // answers as fast as the terminal carries bytes, and the model sleeps
    // as its latency says.
    void set_paced(bool paced);
    // How much later than the line and the chip would have the paced board
    // answered, in all: its thread woke late. It is the simulation's own
    // error, not the host's, and a benchmark takes it off what it timed.
    std::chrono::nanoseconds lateness();

private:
    void run();
    void take(std::uint8_t byte);
    void answer();
    void drop_line();
    void tell(const std::string &event);
    std::chrono::nanoseconds byte_time();
    std::uint8_t reply_paced(const std::vector<std::uint8_t> &record);

    std::mutex lock_;
    std::condition_variable line_dropped_;
    Bootloader model_;
    UartFaults faults_;
    std::function<void(const std::string &)> observer_;
    std::string path_;
    int master_ = -1;
    int slave_ = -1;  // held, so the master never reads as closed between hosts
    int wake_[2] = {-1, -1};
    std::thread thread_;
    bool trained_ = false;
    std::vector<std::uint8_t> record_;
    std::vector<std::uint8_t> received_;
    std::size_t sent_ = 0;
    std::size_t commands_ = 0;
    bool reset_low_ = false;
    bool entry_low_ = false;
    std::vector<std::uint8_t> enter_command_;
    std::vector<std::uint8_t> heard_;  // the application's last bytes, as long as its command
    bool paced_ = false;
    std::chrono::steady_clock::time_point line_free_;  // when the host's bytes so far have all arrived
    std::chrono::nanoseconds late_{0};
};

}  // namespace efm8sim

#endif
