// Choosing the boards a command works on (USB bootloaders, or boards on
// serial ports), and running it on all of them at once, each on a thread and
// a session of its own.
#ifndef KESTRANE_PRODUCTION_BOARDS_H
#define KESTRANE_PRODUCTION_BOARDS_H

#include "production/plan.h"
#include "production/settings.h"
#include <kestrane/engine.h>
#include <kestrane/entry.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace production {

// What happened on one board.
struct Outcome {
    efm8_device device{};
    // The engine's result, or the line's own when it failed the board
    // (kestrane/result.h: its name, exit status and text).
    int32_t result = EFM8_OK;
    std::string message;  // why it failed and what to do about it; empty on success
    efm8_report report{};
    efm8_identity identity{sizeof(efm8_identity), nullptr, nullptr, 0, 0, -1};  // what identify found
    Plan plan;  // what a flash or lock asked besides the image
    double seconds = 0;
    std::optional<std::uint64_t> serial;  // the number drawn for the board, kept across tries
    unsigned tries = 1;
    // The board was opened, on any try.
    bool opened = false;
    // The line turned the board down once it was open, before anything was
    // sent to be written: no room for its record, or no number left that it
    // takes. It is no attempt.
    bool declined = false;

    // Why the station record of the attempt could not be completed; the
    // board's result stays its own.
    std::string record_error;
    // The record's server was away when the board's attempt was to begin:
    // nothing was drawn or written, and the bench takes the board again
    // once the server is back.
    bool server_away = false;

    bool ok() const { return result == EFM8_OK; }
    int exit_code() const { return efm8_result_exit_status(result); }
    // The run's result for this board: its own, or EFM8_ERR_NOT_RECORDED
    // for a board that passed but whose record was lost.
    int32_t run_result() const { return ok() && !record_error.empty() ? EFM8_ERR_NOT_RECORDED : result; }
    // An attempt, recorded and counted in a yield, is a board that was
    // opened and not turned down; a board that could not be opened (gone,
    // busy, no permission) or that no number was left for is neither.
    bool attempted() const { return opened && !declined; }
    // Whether no board after this one can be numbered either: its counter
    // is used up, or its next number is one the format does not take.
    bool stops_line() const
    {
        return !attempted() && (result == EFM8_ERR_NO_SERIAL_NUMBER || result == EFM8_ERR_SIZE);
    }
};

struct Line;

// How often an awaited board is looked for: the USB bus listed, or its port
// asked.
const std::chrono::milliseconds POLL_PERIOD(200);

// Which boards a command works on: USB bootloaders (the only one, those at
// the devices' paths, or all of them), or one board for each port.
struct Choice {
    std::vector<std::string> ports;
    std::vector<std::string> devices;
    bool all = false;
    bool wait = false;         // for a USB board that is not there yet
    double wait_seconds = -1;  // negative: for ever
    // The application asked into its USB bootloader first; the board that
    // appears then is the one chosen.
    std::optional<EnterHid> enter_hid;
};

// Says "waiting for ..." while a chosen board is not there yet.
using Say = std::function<void(const std::string &)>;

// Which boards the choice names: USB bootloaders (waiting when it says so),
// or one board for each port, not yet opened. Returns EFM8_OK, or
// EFM8_ERR_NO_DEVICE or EFM8_ERR_SEVERAL (with the boards listed) and the
// reason in error.
int32_t choose_boards(const Choice &choice, std::vector<efm8_device> &boards, std::string &error, const Say &waiting);

// Before anything else: each port can be a serial port. EFM8_OK, or
// EFM8_ERR_NOT_PORT with the one that cannot (a file, a folder, a device
// that is not a terminal) in error.
int32_t check_ports(const std::vector<std::string> &ports, std::string &error);

std::vector<efm8_device> attached_boards();
std::vector<efm8_port> attached_ports();

// Blocks until the board is back, over USB listed at its path, on a port
// answering there (brought into its bootloader as entry says), or the time
// runs out (seconds < 0: never).
bool wait_for_board(const efm8_device &board, const efm8_port_settings &port, const efm8_entry &entry,
                    double seconds);

// What a command does on each board.
struct Job {
    // The work on the open board: returns the engine's result and fills the
    // outcome's report.
    std::function<int32_t(efm8_session *session, std::size_t index, Outcome &outcome)> work;
    efm8_port_settings port{};  // for boards on serial ports
    efm8_entry entry = no_entry();  // how a board on a port is brought into its bootloader
    Plan plan;  // what it asks besides the image, for each board's report
    const Line *line = nullptr;  // flash and watch: the record, serial numbers and retries
};

// Told of each board as it finishes, from the board's own thread.
using Finished = std::function<void(std::size_t index, const Outcome &outcome)>;

// Opens each board and runs job on it, all at once (attempt_on_board in
// line.h); outcomes in board order.
std::vector<Outcome> run_on_boards(const std::vector<efm8_device> &boards, const Job &job, const Finished &finished);

// One board, opened, worked on with its serial number in the outcome, and
// closed; timed, its failure explained.
Outcome run_on_board(const efm8_device &board, std::size_t index, const Job &job,
                     std::optional<std::uint64_t> serial = std::nullopt);

// Whether a bootloader answers on the port now: opened (the board brought
// into its bootloader as entry says), trained and asked one identify, with
// a short time-out. EFM8_OK, or why not.
int32_t ping_port(const efm8_device &port, efm8_port_settings settings, const efm8_entry &entry);

// 0 when every board succeeded, else the status of the first that failed.
int overall_exit_code(const std::vector<Outcome> &outcomes);

}  // namespace production

#endif
