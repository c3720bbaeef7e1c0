#include "uart_board.h"

#include <kestrane/parts.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace efm8sim {

static const std::uint8_t TRAINING_BYTE = 0xFF;
static const std::uint8_t RECORD_START = '$';
static const char QUIT = 'q';
static const char HANG_UP = 'h';

Layout layout_of(const efm8_part &part)
{
    Layout layout;
    // The code flash, and the security page when it follows it.
    layout.flash_size = std::min<std::size_t>(part.flash_size, part.lock_byte + 1);
    layout.app_end = part.app_limit;
    layout.page_size = part.family->page_size;
    layout.lock_byte = part.lock_byte;
    return layout;
}

static std::string hex(std::uint8_t byte)
{
    static const char DIGITS[] = "0123456789ABCDEF";
    return {DIGITS[byte >> 4], DIGITS[byte & 0xF]};
}

// A terminal as a fresh port looks before the host sets it up: cooked,
// 9600 baud, but without echo, which would send the host's own bytes back.
static void set_fresh_terminal(int slave)
{
    termios settings{};
    tcgetattr(slave, &settings);
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);
    cfsetispeed(&settings, B9600);
    cfsetospeed(&settings, B9600);
    tcsetattr(slave, TCSANOW, &settings);
}

UartBoard::UartBoard(const Layout &layout, std::uint16_t identity)
{
    model_.set_layout(layout);
    model_.set_identity(identity);
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 || pipe2(wake_, O_CLOEXEC) != 0)
        throw std::runtime_error("no pseudo-terminal for the simulated board");
    char name[128];
    ptsname_r(master_, name, sizeof name);
    path_ = name;
    slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    set_fresh_terminal(slave_);
    thread_ = std::thread([this] { run(); });
}

UartBoard::~UartBoard()
{
    const char quit = QUIT;
    if (write(wake_[1], &quit, 1) != 1)
        std::abort();
    thread_.join();
    drop_line();
    close(wake_[0]);
    close(wake_[1]);
}

std::vector<std::uint8_t> UartBoard::received()
{
    std::lock_guard<std::mutex> guard(lock_);
    return received_;
}

std::size_t UartBoard::sent()
{
    std::lock_guard<std::mutex> guard(lock_);
    return sent_;
}

bool UartBoard::trained()
{
    std::lock_guard<std::mutex> guard(lock_);
    return trained_;
}

termios UartBoard::line_settings()
{
    std::lock_guard<std::mutex> guard(lock_);
    termios settings{};
    if (master_ < 0 || tcgetattr(master_, &settings) != 0)
        throw std::runtime_error("the simulated board's line is gone");
    return settings;
}

void UartBoard::say(const std::vector<std::uint8_t> &bytes)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (master_ >= 0 && write(master_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error("the simulated board could not say its bytes");
}

// The thread drops the line, since it may be waiting on it; this waits
// until it has.
void UartBoard::hang_up()
{
    const char hang_up = HANG_UP;
    if (write(wake_[1], &hang_up, 1) != 1)
        std::abort();
    std::unique_lock<std::mutex> guard(lock_);
    line_dropped_.wait(guard, [this] { return master_ < 0; });
}

void UartBoard::reset_into_bootloader()
{
    std::lock_guard<std::mutex> guard(lock_);
    model_.reset_into_bootloader();
    trained_ = false;
    record_.clear();
}

void UartBoard::observe(std::function<void(const std::string &event)> observer)
{
    std::lock_guard<std::mutex> guard(lock_);
    observer_ = std::move(observer);
}

void UartBoard::set_pin(Pin pin, bool high)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (pin == Pin::Entry) {
        entry_low_ = !high;
        return;
    }
    const bool was_low = reset_low_;
    reset_low_ = !high;
    if (reset_low_ || !was_low)
        return;
    model_.reset_chip(entry_low_);
    trained_ = false;
    record_.clear();
    heard_.clear();
    tell(model_.on_bus() ? "bootloader" : "application");
}

void UartBoard::power_on()
{
    std::lock_guard<std::mutex> guard(lock_);
    reset_low_ = entry_low_ = false;
    model_.reset_chip(false);
    trained_ = false;
    record_.clear();
    heard_.clear();
    tell(model_.on_bus() ? "bootloader" : "application");
}

void UartBoard::set_paced(bool paced)
{
    std::lock_guard<std::mutex> guard(lock_);
    paced_ = paced;
}

std::chrono::nanoseconds UartBoard::lateness()
{
    std::lock_guard<std::mutex> guard(lock_);
    return late_;
}

// Callers hold lock_. The speed the host set, as the master reads its
// slave's settings.
std::chrono::nanoseconds UartBoard::byte_time()
{
    static const struct {
        speed_t speed;
        long baud;
    } RATES[] = {{B9600, 9600},     {B19200, 19200},   {B38400, 38400},   {B57600, 57600},
                 {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
    termios settings{};
    long baud = 9600;
    if (master_ >= 0 && tcgetattr(master_, &settings) == 0)
        for (const auto &rate : RATES)
            if (rate.speed == cfgetospeed(&settings))
                baud = rate.baud;
    return std::chrono::nanoseconds(10 * 1000000000L / baud);
}

// Callers hold lock_. The model only counts the chip's time; the reply
// waits until the record's bytes are in and that time is spent, then
// takes its own byte's time on the line.
std::uint8_t UartBoard::reply_paced(const std::vector<std::uint8_t> &record)
{
    Latency latency = model_.latency();
    const Latency asked = latency;
    latency.sleeps = false;
    model_.set_latency(latency);
    const std::chrono::nanoseconds before = model_.device_time();
    model_.receive(record.data(), record.size());
    const std::uint8_t reply = model_.take_reply();
    model_.set_latency(asked);
    line_free_ += model_.device_time() - before + byte_time();
    std::this_thread::sleep_until(line_free_);
    late_ += std::chrono::steady_clock::now() - line_free_;
    return reply;
}

void UartBoard::set_enter_command(const std::vector<std::uint8_t> &command)
{
    std::lock_guard<std::mutex> guard(lock_);
    enter_command_ = command;
}

// Callers hold lock_.
void UartBoard::tell(const std::string &event)
{
    if (observer_)
        observer_(event);
}

void UartBoard::run()
{
    // A paced line's sleeps end when asked, not up to 50 us later.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    for (;;) {
        pollfd fds[2] = {{wake_[0], POLLIN, 0}, {master_, POLLIN, 0}};
        const int count = master_ >= 0 ? 2 : 1;
        if (poll(fds, count, -1) < 0 && errno != EINTR)
            return;
        if (fds[0].revents & POLLIN) {
            char order = 0;
            if (read(wake_[0], &order, 1) == 1 && order == QUIT)
                return;
            std::lock_guard<std::mutex> guard(lock_);
            tell("hung up");
            drop_line();
            continue;
        }
        if (count < 2 || !(fds[1].revents & POLLIN))
            continue;
        std::uint8_t bytes[512];
        const ssize_t got = read(master_, bytes, sizeof bytes);
        std::lock_guard<std::mutex> guard(lock_);
        if (paced_ && got > 0)
            line_free_ = std::max(line_free_, std::chrono::steady_clock::now()) + got * byte_time();
        for (ssize_t i = 0; i < got && master_ >= 0; ++i)
            take(bytes[i]);
    }
}

// Callers hold lock_. Between records only '$' starts one: a host that
// trains again finds the board listening.
void UartBoard::take(std::uint8_t byte)
{
    received_.push_back(byte);
    if (reset_low_)
        return;
    if (!model_.on_bus()) {
        // The application, listening for its way into the bootloader.
        if (enter_command_.empty())
            return;
        heard_.push_back(byte);
        if (heard_.size() > enter_command_.size())
            heard_.erase(heard_.begin());
        if (heard_ == enter_command_) {
            heard_.clear();
            model_.reset_into_bootloader();
            trained_ = false;
            record_.clear();
            tell("bootloader");
        }
        return;
    }
    if (!trained_) {
        trained_ = byte == TRAINING_BYTE;
        if (trained_)
            tell("trained");
        return;
    }
    if (record_.empty() && byte != RECORD_START)
        return;
    record_.push_back(byte);
    if (record_.size() == 2 && byte == 0) {
        record_.clear();  // no command to answer
        return;
    }
    if (record_.size() >= 2 && record_.size() == std::size_t(record_[1]) + 2)
        answer();
}

// Callers hold lock_.
void UartBoard::answer()
{
    const std::size_t index = commands_++;
    const std::vector<std::uint8_t> record = std::move(record_);
    record_.clear();
    tell("record " + hex(record[2]));
    if (index >= faults_.silent_from) {
        tell("silent");
        return;
    }
    if (index == faults_.hang_up_at) {
        tell("hung up");
        drop_line();
        return;
    }
    std::uint8_t reply;
    if (paced_) {
        reply = reply_paced(record);
    } else {
        model_.receive(record.data(), record.size());
        reply = model_.take_reply();
    }
    if (index == faults_.slow_at)
        std::this_thread::sleep_for(faults_.slow_by);  // the slow device is the fault
    if (write(master_, &reply, 1) == 1)
        ++sent_;
    tell("reply " + hex(reply));
}

// Callers hold lock_, or the thread has ended.
void UartBoard::drop_line()
{
    if (master_ >= 0)
        close(master_);
    if (slave_ >= 0)
        close(slave_);
    master_ = slave_ = -1;
    line_dropped_.notify_all();
}

}  // namespace efm8sim
