// What the tests of the UART transport share: boards of the part table
// behind pseudo-terminals, sessions on their ports, what a board got, and
// its events waited on rather than the clock.
#ifndef KESTRANE_TESTS_UART_HELPERS_H
#define KESTRANE_TESTS_UART_HELPERS_H

#include <kestrane/engine.h>
#include "uart_board.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace uarttest {

using Bytes = std::vector<uint8_t>;
using efm8sim::UartBoard;

const uint8_t TRAINING_BYTE = 0xFF;
// A bound on waiting for the board, never reached when all is well.
const auto BOARD_STUCK = std::chrono::seconds(10);

inline const efm8_part &part_named(const std::string &name)
{
    size_t count;
    const efm8_part *parts = efm8_parts(&count);
    for (size_t i = 0; i < count; ++i)
        if (name == parts[i].name)
            return parts[i];
    throw std::invalid_argument("no part " + name);
}

// A board of a part of the table, its flash as it leaves the factory.
inline std::unique_ptr<UartBoard> board_of(const efm8_part &part)
{
    return std::make_unique<UartBoard>(efm8sim::layout_of(part), part.id);
}

inline Bytes random_bytes(size_t count, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes bytes(count);
    for (uint8_t &b : bytes)
        b = uint8_t(rng());
    return bytes;
}

inline efm8_port_settings port_settings(uint32_t timeout_ms = EFM8_TIMEOUT_DEFAULT_MS, uint32_t baud = EFM8_BAUD_DEFAULT)
{
    return {sizeof(efm8_port_settings), baud, timeout_ms};
}

// A session on the board's port, closed when it goes.
class Session {
public:
    explicit Session(UartBoard &board, const efm8_port_settings &settings = port_settings())
        : opened_(efm8_open_port(board.path().c_str(), &settings, &session_))
    {
    }
    ~Session() { efm8_close(session_); }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    int32_t opened() const { return opened_; }
    efm8_session *get() const { return session_; }
    int32_t flash(const Bytes &image, const efm8_options *options = nullptr, efm8_report *report = nullptr)
    {
        return efm8_flash(session_, image.data(), uint32_t(image.size()), options, report);
    }

private:
    efm8_session *session_ = nullptr;
    int32_t opened_;
};

inline int32_t flash_board(UartBoard &board, const Bytes &image, const efm8_options *options = nullptr,
                    efm8_report *report = nullptr, const efm8_port_settings &settings = port_settings())
{
    Session session(board, settings);
    return session.opened() == EFM8_OK ? session.flash(image, options, report) : session.opened();
}

inline std::vector<Bytes> frames_of(UartBoard &board)
{
    std::lock_guard<std::mutex> guard(board.lock());
    return board.model().frames();
}

inline Bytes flash_of(UartBoard &board)
{
    std::lock_guard<std::mutex> guard(board.lock());
    return board.model().flash();
}

// Changes to a board before a host talks to it are made under its lock:
// the kernel orders them before the board's first byte, but a race
// detector cannot see that.
inline void load(UartBoard &board, const Bytes &flash)
{
    std::lock_guard<std::mutex> guard(board.lock());
    board.model().flash() = flash;
}

inline void slow_down(UartBoard &board, size_t command, std::chrono::milliseconds by)
{
    std::lock_guard<std::mutex> guard(board.lock());
    board.faults().slow_at = command;
    board.faults().slow_by = by;
}

// What a session that sent these records put on the line.
inline Bytes line_of(const std::vector<Bytes> &records)
{
    Bytes line{TRAINING_BYTE};
    for (const Bytes &record : records)
        line.insert(line.end(), record.begin(), record.end());
    return line;
}

// The board's events, counted, so that a test waits for what the board did
// rather than for time to pass.
class Events {
public:
    explicit Events(UartBoard &board) : board_(board)
    {
        board.observe([this](const std::string &event) {
            std::lock_guard<std::mutex> guard(lock_);
            seen_.push_back(event);
            changed_.notify_all();
        });
    }
    ~Events() { board_.observe({}); }

    // True once the board has told count events that start with prefix.
    bool wait_for(const std::string &prefix, size_t count = 1)
    {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, BOARD_STUCK, [&] {
            return size_t(std::count_if(seen_.begin(), seen_.end(), [&](const std::string &event) {
                       return event.compare(0, prefix.size(), prefix) == 0;
                   })) >= count;
        });
    }

private:
    UartBoard &board_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::string> seen_;
};

// This process's descriptors on a terminal, also once it is gone.
inline int descriptors_on(const std::string &path)
{
    int count = 0;
    DIR *fds = opendir("/proc/self/fd");
    while (dirent *entry = readdir(fds)) {
        char target[512];
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        const std::string name(target, size_t(std::max<ssize_t>(n, 0)));
        count += name == path || name == path + " (deleted)";
    }
    closedir(fds);
    return count;
}

// One identify record with id 0, as efm8_ping sends it.
const Bytes PING = {'$', 3, EFM8_CMD_IDENTIFY, 0x00, 0x00};

// The first record of this command at this address, or frames.size().
inline size_t first_of(const std::vector<Bytes> &frames, uint8_t command, uint32_t address)
{
    for (size_t i = 0; i < frames.size(); ++i)
        if (frames[i][2] == command && uint32_t(frames[i][3] << 8 | frames[i][4]) == address)
            return i;
    return frames.size();
}

}  // namespace uarttest

#endif
