#include "production/boards.h"

#include "production/explain.h"
#include "production/line.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace production {

static const int32_t MAX_BOARDS = 128;
static const int32_t MAX_PORTS = 256;
// A bootloader answers within milliseconds; a short time-out keeps a round
// of questions short.
static const uint32_t PING_TIMEOUT_MS = 250;

std::vector<efm8_device> attached_boards()
{
    std::vector<efm8_device> boards(MAX_BOARDS);
    const int32_t count = efm8_list(boards.data(), MAX_BOARDS);
    boards.resize(static_cast<std::size_t>(std::min(count, MAX_BOARDS)));
    return boards;
}

std::vector<efm8_port> attached_ports()
{
    std::vector<efm8_port> ports(MAX_PORTS);
    const int32_t count = efm8_list_ports(ports.data(), MAX_PORTS);
    ports.resize(static_cast<std::size_t>(std::min(count, MAX_PORTS)));
    return ports;
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

static efm8_device port_board(const std::string &path)
{
    efm8_device board{};
    std::snprintf(board.path, sizeof board.path, "%s", path.c_str());
    board.interface = EFM8_UART;
    return board;
}

// "sim:1", "sim:1 and sim:2", "sim:1, sim:2 and sim:3".
static std::string paths_text(const std::vector<std::string> &paths)
{
    std::string text;
    for (std::size_t i = 0; i < paths.size(); ++i)
        text += (i == 0 ? "" : i + 1 < paths.size() ? ", " : " and ") + paths[i];
    return text;
}

// The paths asked for that are not attached.
static std::vector<std::string> missing(const std::vector<std::string> &paths, const std::vector<efm8_device> &boards)
{
    std::vector<std::string> absent;
    for (const std::string &path : paths)
        if (!has_path(boards, path))
            absent.push_back(path);
    return absent;
}

// "10C4:EAC9".
static std::string usb_id(std::uint16_t vendor_id, std::uint16_t product_id)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04X:%04X", vendor_id, product_id);
    return text;
}

// The application asked into its bootloader; the bootloader that appears
// is the board.
static int32_t enter_usb(const Choice &choice, std::vector<efm8_device> &boards, std::string &error,
                         const Say &waiting)
{
    const EnterHid &enter = *choice.enter_hid;
    const std::string application = "the application at USB id " + usb_id(enter.vendor_id, enter.product_id);
    const std::vector<efm8_device> before = attached_boards();
    const int32_t entered = efm8_enter_usb(enter.vendor_id, enter.product_id, enter.report.data(), enter.report.size());
    if (entered != EFM8_OK) {
        if (entered == EFM8_ERR_NO_DEVICE)
            error = "no HID device with USB id " + usb_id(enter.vendor_id, enter.product_id) +
                    " is attached: is the application running?";
        else if (entered == EFM8_ERR_SEVERAL)
            error = "several HID devices (or interfaces) have USB id " + usb_id(enter.vendor_id, enter.product_id) +
                    ": leave one attached";
        else
            error = application + ": " + efm8_strerror(entered);
        return entered;
    }
    waiting("waiting for a bootloader to appear after asking " + application + "...");
    const double seconds = choice.wait ? choice.wait_seconds : ENTER_HID_WAIT_SECONDS;
    const bool appeared = wait_until(seconds, [&] {
        boards.clear();
        for (const efm8_device &board : attached_boards())
            if (!has_path(before, board.path))
                boards.push_back(board);
        return !boards.empty();
    });
    if (appeared) {
        boards.resize(1);
        return EFM8_OK;
    }
    error = "no bootloader appeared after asking " + application + " into it: check --enter-hid's report";
    return EFM8_ERR_NO_DEVICE;
}

int32_t choose_boards(const Choice &choice, std::vector<efm8_device> &boards, std::string &error, const Say &waiting)
{
    if (choice.enter_hid)
        return enter_usb(choice, boards, error, waiting);
    if (!choice.ports.empty()) {
        boards.clear();
        for (const std::string &port : choice.ports)
            boards.push_back(port_board(port));
        return EFM8_OK;
    }
    const bool by_path = !choice.devices.empty();
    auto pick = [&](const std::vector<efm8_device> &attached) {
        return by_path ? missing(choice.devices, attached).empty() : !attached.empty();
    };
    boards = attached_boards();
    bool found = pick(boards);
    if (!found && choice.wait) {
        waiting("waiting for " + (by_path ? paths_text(choice.devices) : "an EFM8 bootloader") + "...");
        found = wait_until(choice.wait_seconds, [&] {
            boards = attached_boards();
            return pick(boards);
        });
    }
    if (!found) {
        if (by_path)
            error = "no EFM8 bootloader at " + paths_text(missing(choice.devices, boards)) +
                    (boards.empty() ? "" : "; attached:" + board_list(boards));
        else
            error = "no EFM8 bootloader is attached: plug the board in with its boot pin held low "
                    "(P3.0 on QFN28, P2.0 on QFN20 and QSOP24), or wait for it with --wait";
        return EFM8_ERR_NO_DEVICE;
    }
    if (by_path) {
        // In the order given, as their results are.
        std::vector<efm8_device> chosen;
        for (const std::string &path : choice.devices)
            for (const efm8_device &board : boards)
                if (path == board.path)
                    chosen.push_back(board);
        boards = chosen;
    } else if (!choice.all && boards.size() > 1) {
        error = "several EFM8 bootloaders are attached; choose one with --device PATH, or use --all:" +
                board_list(boards);
        return EFM8_ERR_SEVERAL;
    }
    return EFM8_OK;
}

bool wait_for_board(const efm8_device &board, const efm8_port_settings &port, const efm8_entry &entry,
                    double seconds)
{
    if (board.interface == EFM8_UART)
        return wait_until(seconds, [&] { return ping_port(board, port, entry) == EFM8_OK; });
    return wait_until(seconds, [&] { return has_path(attached_boards(), board.path); });
}

int32_t ping_port(const efm8_device &port, efm8_port_settings settings, const efm8_entry &entry)
{
    settings.timeout_ms = std::min(settings.timeout_ms, PING_TIMEOUT_MS);
    efm8_session *session = nullptr;
    int32_t result = efm8_open_port_entry(port.path, &settings, &entry, &session, nullptr);
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
    int32_t result = board.interface == EFM8_UART
                         ? efm8_open_port_entry(board.path, &job.port, &job.entry, &session, &outcome.report)
                         : efm8_open(board.path, &session);
    if (result == EFM8_OK) {
        outcome.opened = true;
        result = job.work(session, index, outcome);
    } else {
        outcome.report.result = result;
        outcome.report.interface = board.interface;
    }
    efm8_close(session);
    outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    outcome.result = result;
    if (result != EFM8_OK && outcome.message.empty())
        outcome.message = board.interface == EFM8_UART ? explain_entry(outcome.report, job.entry) : "";
    if (result != EFM8_OK && outcome.message.empty())
        outcome.message = explain(outcome.report);
    return outcome;
}

std::vector<Outcome> run_on_boards(const std::vector<efm8_device> &boards, const Job &job, const Finished &finished)
{
    std::vector<Outcome> outcomes(boards.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < boards.size(); ++i) {
        threads.emplace_back([&, i] {
            outcomes[i] = attempt_on_board(boards[i], i, job);
            finished(i, outcomes[i]);
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    return outcomes;
}

int overall_exit_code(const std::vector<Outcome> &outcomes)
{
    for (const Outcome &outcome : outcomes)
        if (outcome.run_result() != EFM8_OK)
            return efm8_result_exit_status(outcome.run_result());
    return 0;
}

int32_t check_ports(const std::vector<std::string> &ports, std::string &error)
{
    for (const std::string &port : ports)
        if (efm8_check_port(port.c_str()) == EFM8_ERR_NOT_PORT) {
            error = port + ": " + not_a_port();
            return EFM8_ERR_NOT_PORT;
        }
    return EFM8_OK;
}

}  // namespace production
