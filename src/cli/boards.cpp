#include "cli/boards.h"

#include "cli/line.h"
#include "cli/progress.h"

#include <sysexits.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace cli {

static const std::chrono::milliseconds POLL_PERIOD(200);
static const int32_t MAX_BOARDS = 128;
// A bootloader answers within milliseconds; a short time-out keeps a round
// of questions short.
static const uint32_t PING_TIMEOUT_MS = 250;

static const char ACCESS_FIX[] =
    "no permission to open the board. The kestrane package installs the udev rule "
    "/usr/lib/udev/rules.d/70-kestrane.rules that lets the user at the seat open it; "
    "with the rule in place run 'sudo udevadm control --reload-rules' and plug the board in again, "
    "or run as root";
static const char PORT_ACCESS_FIX[] =
    "no permission to open the port. Serial ports belong to the dialout group: add yourself with "
    "'sudo usermod -aG dialout $USER' and log in again, or run as root";
static const char PORT_BUSY[] =
    "another program has the port open (a terminal program, ModemManager, another kestrane-cli); "
    "close it and try again";
// No reply to the very first command: the board is not listening.
static const char NO_REPLY_CAUSES[] =
    ". Is the board in its bootloader (a blank chip, or its boot pin held low through a reset)? "
    "Are TX and RX crossed (the adapter's TX to the chip's RX, its RX to the chip's TX)? "
    "Is it the right port (kestrane-cli list --serial)?";
// It answered before and then stopped, or the line dropped.
static const char PORT_LOST[] =
    "; check the adapter, the wiring and the board's power, put the board back into its bootloader and "
    "try again";

std::vector<efm8_device> attached_boards()
{
    std::vector<efm8_device> boards(MAX_BOARDS);
    const int32_t count = efm8_list(boards.data(), MAX_BOARDS);
    boards.resize(static_cast<std::size_t>(std::min(count, MAX_BOARDS)));
    return boards;
}

// Asks ready once a poll period until it says yes or the time runs out
// (seconds < 0: never).
static bool wait_until(double seconds, const std::function<bool()> &ready)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        if (ready())
            return true;
        if (seconds >= 0 && std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(POLL_PERIOD);
    }
}

static bool has_path(const std::vector<efm8_device> &boards, const std::string &path)
{
    for (const efm8_device &board : boards)
        if (path == board.path)
            return true;
    return false;
}

static std::string board_list(const std::vector<efm8_device> &boards)
{
    std::string text;
    for (const efm8_device &board : boards)
        text += std::string("\n  ") + board.path + "  " + board.family;
    return text;
}

efm8_port_settings port_settings(const Options &options)
{
    efm8_port_settings settings;
    efm8_default_port_settings(&settings);
    if (options.baud != 0)
        settings.baud = options.baud;
    if (options.timeout_ms != 0)
        settings.timeout_ms = options.timeout_ms;
    return settings;
}

static efm8_device port_board(const std::string &path)
{
    efm8_device board{};
    std::snprintf(board.path, sizeof board.path, "%s", path.c_str());
    board.interface = EFM8_UART;
    return board;
}

int choose_boards(const Options &options, std::vector<efm8_device> &boards, std::string &error)
{
    if (!options.ports.empty()) {
        boards.clear();
        for (const std::string &port : options.ports)
            boards.push_back(port_board(port));
        return 0;
    }
    const bool by_path = !options.device.empty();
    auto pick = [&](const std::vector<efm8_device> &attached) {
        return by_path ? has_path(attached, options.device) : !attached.empty();
    };
    boards = attached_boards();
    bool found = pick(boards);
    if (!found && options.wait) {
        if (!options.quiet)
            std::fprintf(stderr, "waiting for %s...\n", by_path ? options.device.c_str() : "an EFM8 bootloader");
        found = wait_until(options.wait_seconds, [&] {
            boards = attached_boards();
            return pick(boards);
        });
    }
    if (!found) {
        if (by_path)
            error = "no EFM8 bootloader at " + options.device + (boards.empty() ? "" : "; attached:" + board_list(boards));
        else
            error = "no EFM8 bootloader is attached: plug the board in with its boot pin held low "
                    "(P3.0 on QFN28, P2.0 on QFN20 and QSOP24), or wait for it with --wait";
        return EX_UNAVAILABLE;
    }
    if (by_path) {
        std::vector<efm8_device> chosen;
        for (const efm8_device &board : boards)
            if (options.device == board.path)
                chosen.push_back(board);
        boards = chosen;
    } else if (!options.all && boards.size() > 1) {
        error = "several EFM8 bootloaders are attached; choose one with --device PATH, or use --all:" +
                board_list(boards);
        return EX_USAGE;
    }
    return 0;
}

bool wait_for_board(const efm8_device &board, const efm8_port_settings &port, double seconds)
{
    if (board.interface == EFM8_UART)
        return wait_until(seconds, [&] { return ping_port(board, port) == EFM8_OK; });
    return wait_until(seconds, [&] { return has_path(attached_boards(), board.path); });
}

int exit_code_of(int32_t result)
{
    return efm8_result_exit_status(result);
}

static std::string serial_ports()
{
    std::vector<efm8_port> ports(MAX_BOARDS);
    const int32_t count = std::min(efm8_list_ports(ports.data(), MAX_BOARDS), MAX_BOARDS);
    if (count == 0)
        return "no serial port is attached";
    std::string text = "the serial ports here:";
    for (int32_t i = 0; i < count; ++i)
        text += std::string(i == 0 ? " " : ", ") + ports[static_cast<std::size_t>(i)].path;
    return text;
}

// What went wrong on a serial port, or "" where it reads as over USB.
static std::string explain_port(const efm8_report &report, const std::string &described)
{
    switch (report.result) {
    case EFM8_ERR_ACCESS: return PORT_ACCESS_FIX;
    case EFM8_ERR_BUSY: return PORT_BUSY;
    case EFM8_ERR_NO_DEVICE: return "no such port; " + serial_ports();
    case EFM8_ERR_OPEN:
        return "it could not be used as a serial port: it is not a terminal device, or it would not take the "
               "training byte";
    case EFM8_ERR_OPTIONS: return "the port does not take this baud rate (see --baud)";
    case EFM8_ERR_TRANSFER:
        return described + (report.commands <= 1 && report.os_error == ETIMEDOUT ? NO_REPLY_CAUSES : PORT_LOST);
    default: return "";
    }
}

std::string explain(const efm8_report &report)
{
    char text[512];
    efm8_describe(&report, text, sizeof text);
    if (report.interface == EFM8_UART) {
        const std::string port = explain_port(report, text);
        if (!port.empty())
            return port;
    }
    switch (report.result) {
    case EFM8_ERR_ACCESS: return ACCESS_FIX;
    case EFM8_ERR_OPEN: return std::string(text) + "; another program may be using it";
    case EFM8_ERR_NO_DEVICE: return "the board left before it could be opened";
    case EFM8_ERR_TRANSFER: return std::string(text) + "; put it back into its bootloader and try again";
    case EFM8_ERR_REFUSED:
        if (report.reply == 'A' && (report.command == EFM8_CMD_ERASE || report.command == EFM8_CMD_WRITE))
            return std::string(text) + ": the image does not fit this part";
        return text;
    case EFM8_ERR_MISMATCH:
        return std::string(text) + (report.pages_differ > 0 ? "" : "; flash it again");
    default: return text;
    }
}

int32_t ping_port(const efm8_device &port, efm8_port_settings settings)
{
    settings.timeout_ms = std::min(settings.timeout_ms, PING_TIMEOUT_MS);
    efm8_session *session = nullptr;
    int32_t result = efm8_open_port(port.path, &settings, &session);
    if (result == EFM8_OK)
        result = efm8_ping(session, nullptr);
    efm8_close(session);
    return result;
}

Outcome run_on_board(const efm8_device &board, std::size_t index, const Job &job, std::optional<std::uint64_t> serial)
{
    Outcome outcome;
    outcome.device = board;
    outcome.plan = job.plan;
    outcome.serial = serial;
    const auto start = std::chrono::steady_clock::now();
    efm8_session *session = nullptr;
    int32_t result = board.interface == EFM8_UART ? efm8_open_port(board.path, &job.port, &session)
                                                   : efm8_open(board.path, &session);
    if (result == EFM8_OK) {
        result = job.work(session, index, outcome);
    } else {
        outcome.report.result = result;
        outcome.report.interface = board.interface;
    }
    efm8_close(session);
    outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    outcome.exit_code = exit_code_of(result);
    if (result != EFM8_OK && outcome.message.empty())
        outcome.message = explain(outcome.report);
    return outcome;
}

std::vector<Outcome> run_on_boards(const std::vector<efm8_device> &boards, const Job &job, Progress &progress)
{
    std::vector<Outcome> outcomes(boards.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < boards.size(); ++i) {
        threads.emplace_back([&, i] {
            outcomes[i] = attempt_on_board(boards[i], i, job);
            progress.finish(i, outcomes[i]);
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    return outcomes;
}

int overall_exit_code(const std::vector<Outcome> &outcomes)
{
    for (const Outcome &outcome : outcomes)
        if (outcome.exit_code != 0)
            return outcome.exit_code;
    return 0;
}

}  // namespace cli
