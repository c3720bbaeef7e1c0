// A flash over the UART transport, timed: the engine through the kernel's
// tty layer to a simulated board behind a pseudo-terminal whose line runs
// at the baud rate the host set (10 bits a byte either way) and whose chip
// sleeps through each page erase and byte write. The wall time from opening
// the port to closing it, less the time the board's thread woke later than
// it asked (the simulation's error, not the host's), is set against the
// floor no loader can beat at that baud: the bytes the bootloader's
// protocol needs for the image on the wire (the training byte, one
// identify, the flash keys, one erase record per page carrying its first
// chunk and write records for the rest, one verify and the run, each with
// its one-byte reply), the erases and the byte writes. What lies above it
// is the host's: its turnaround between records, the engine's ordering.
//
// uart_bench [--small] [--cli=KESTRANE-CLI] [benchmark options]: --small, as
// CI runs it, flashes 1 KB once at 460800 baud and fails only when the flash
// does not land; the full run flashes 1 KB and 14848 bytes at 115200 and
// 460800 baud, the best of five each, and fails when one is over 1.05 times
// its floor. With --cli the same flashes are timed again as `kestrane-cli
// flash FILE` does them, a process of its own, start and end included; its
// figures are printed, not held to the target, which is the engine's.
#include <kestrane/engine.h>
#include <kestrane/parts.h>
#include "bench_main.h"
#include "protocol/protocol.h"
#include "uart_board.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Seconds = std::chrono::duration<double>;
using Clock = std::chrono::steady_clock;

const double BITS_PER_BYTE = 10;  // start, 8 data bits, stop
const double FLOOR_TARGET = 1.05;  // measured time over the floor, at most
const int ROUNDS = 5;
bool failed = false;  // an error skips a benchmark but does not end the run
std::string cli;      // kestrane-cli, when its flashes are timed too

// Page erase and byte write: the typical figures of the EFM8 data sheets'
// flash tables, as bench/engine_bench.cpp takes them. The chip's turnaround
// between a record's last byte and its reply, a few hundred instructions of
// the bootloader, is an assumption; the model charges half of it on the
// record and half on the reply.
const auto ERASE = std::chrono::microseconds(5350);
const auto WRITE_PER_BYTE = std::chrono::microseconds(20);
const auto TURNAROUND = std::chrono::microseconds(20);
const efm8sim::Latency CHIP = {TURNAROUND / 2, ERASE, WRITE_PER_BYTE, true};

struct Case {
    uint32_t image_bytes;
    uint32_t baud;
};

// The part identify asks first for an image of this size: the first UART
// part of the table whose application area takes it. Each part asked before
// the board's own costs a record more (identify answers only to its own id),
// which is the table's order, not the host's speed.
const efm8_part *first_asked(uint32_t image_bytes)
{
    size_t count;
    const efm8_part *parts = efm8_parts(&count);
    for (size_t i = 0; i < count; ++i)
        if (parts[i].interface == EFM8_UART && parts[i].app_limit >= image_bytes)
            return &parts[i];
    return nullptr;
}

// No 128-byte run of 0xFF, so blank skip saves nothing; byte 0 is not 0xFF.
Bytes dense(size_t count)
{
    Bytes image(count);
    for (size_t i = 0; i < count; ++i)
        image[i] = uint8_t(i * 73 + 11 + i / 509);
    return image;
}

// The bytes on the wire no flash of the image avoids, replies included.
size_t floor_wire_bytes(const efm8_part &part, const Bytes &image)
{
    uint8_t record[EFM8_RECORD_MAX];
    size_t bytes = 1;  // the training byte
    bytes += record_identify(record, part.id) + 1;
    bytes += record_setup(record, 0) + 1;
    const uint32_t page = part.family->page_size;
    for (uint32_t address = 0; address < image.size(); address += EFM8_WRITE_MAX) {
        const uint32_t len = std::min<uint32_t>(EFM8_WRITE_MAX, uint32_t(image.size()) - address);
        const uint8_t command = address % page == 0 ? EFM8_CMD_ERASE : EFM8_CMD_WRITE;
        bytes += record_data(record, command, address, image.data() + address, len) + 1;
    }
    bytes += record_verify(record, 0, 0, 0) + 1;
    bytes += record_runapp(record) + 1;
    return bytes;
}

Seconds on_the_line(size_t bytes, uint32_t baud)
{
    return Seconds(double(bytes) * BITS_PER_BYTE / baud);
}

Seconds floor_time(const efm8_part &part, const Bytes &image, uint32_t baud)
{
    const size_t pages = (image.size() + part.family->page_size - 1) / part.family->page_size;
    return on_the_line(floor_wire_bytes(part, image), baud) + pages * ERASE + image.size() * WRITE_PER_BYTE;
}

struct Outcome {
    bool landed = false;
    Seconds wall{0};  // less the simulated board's own lateness
    Seconds raw{0};   // as the clock gave it
    size_t wire_bytes = 0;  // both ways, the training byte included
    uint32_t commands = 0;
};

// The image written where the command line can read it; "" when it cannot.
std::string image_file(const Bytes &image)
{
    char path[] = "/tmp/uart_bench-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        return "";
    const bool written = write(fd, image.data(), image.size()) == ssize_t(image.size());
    close(fd);
    return written ? path : "";
}

// kestrane-cli flash FILE on the board's port, its output dropped: true
// when it says it succeeded.
bool cli_flash(const std::string &port, const std::string &file, uint32_t baud)
{
    const std::string rate = std::to_string(baud);
    const char *args[] = {cli.c_str(), "flash",         file.c_str(), "--port", port.c_str(), "--baud",
                          rate.c_str(), "--format",     "bin",        "--no-record", "--quiet", nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t child;
    const int spawned = posix_spawn(&child, cli.c_str(), &actions, nullptr, const_cast<char **>(args), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    return spawned == 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

Outcome flash_once(const efm8_part &part, const Bytes &image, uint32_t baud, bool by_cli)
{
    efm8sim::UartBoard board(efm8sim::layout_of(part), part.id);
    board.model().set_latency(CHIP);
    board.set_paced(true);
    efm8_port_settings settings = EFM8_PORT_SETTINGS_INIT;
    settings.baud = baud;
    efm8_session *session = nullptr;
    efm8_report report;
    std::memset(&report, 0, sizeof report);
    const std::string file = by_cli ? image_file(image) : "";
    const Clock::time_point start = Clock::now();
    int32_t result = EFM8_ERR_OPEN;
    if (by_cli) {
        if (!file.empty() && cli_flash(board.path(), file, baud))
            result = EFM8_OK;
    } else {
        result = efm8_open_port(board.path().c_str(), &settings, &session);
        if (result == EFM8_OK)
            result = efm8_flash(session, image.data(), uint32_t(image.size()), nullptr, &report);
        efm8_close(session);
    }
    Outcome outcome;
    outcome.raw = Clock::now() - start;
    if (!file.empty())
        unlink(file.c_str());
    outcome.wall = outcome.raw - board.lateness();
    outcome.wire_bytes = board.received().size() + board.sent();
    outcome.commands = report.commands;
    std::lock_guard<std::mutex> guard(board.lock());
    const Bytes &flash = board.model().flash();
    outcome.landed = result == EFM8_OK && std::equal(image.begin(), image.end(), flash.begin());
    return outcome;
}

std::string text(double value)
{
    char digits[32];
    std::snprintf(digits, sizeof digits, "%.4g", value);
    return digits;
}

void BM_Flash(benchmark::State &state, Case c, int rounds, bool enforce, bool by_cli)
{
    const efm8_part *part = first_asked(c.image_bytes);
    const Bytes image = dense(c.image_bytes);
    Outcome best;
    best.wall = Seconds(1e9);
    for (auto _ : state) {
        for (int round = 0; round < rounds; ++round) {
            const Outcome outcome = flash_once(*part, image, c.baud, by_cli);
            if (!outcome.landed) {
                failed = true;
                state.SkipWithError("the flash failed or did not land");
                return;
            }
            if (outcome.wall < best.wall)
                best = outcome;
        }
    }
    const Seconds floor = floor_time(*part, image, c.baud);
    const double of_floor = best.wall / floor;
    const size_t floor_bytes = floor_wire_bytes(*part, image);
    state.counters["wall_s"] = best.wall.count();
    state.counters["raw_wall_s"] = best.raw.count();
    state.counters["floor_s"] = floor.count();
    state.counters["of_floor"] = of_floor;
    state.counters["wire_bytes"] = double(best.wire_bytes);
    state.counters["floor_wire_bytes"] = double(floor_bytes);
    if (!by_cli)
        state.counters["commands"] = best.commands;
    if (enforce && of_floor > FLOOR_TARGET) {
        failed = true;
        state.SkipWithError(("target missed: " + text(of_floor) + "x the floor (at most " + text(FLOOR_TARGET) +
                             "x), " + text(best.wall.count()) + " s against " + text(floor.count()) + " s")
                                .c_str());
    }
}

}  // namespace

int main(int argc, char **argv)
{
    const bool small = take_argument(argc, argv, "--small");
    take_argument(argc, argv, "--cli=", &cli);
    std::vector<Case> cases = {{1024, 460800}};
    if (!small)
        cases = {{1024, 115200}, {14848, 115200}, {1024, 460800}, {14848, 460800}};
    for (bool by_cli : {false, true}) {
        if (by_cli && cli.empty())
            continue;
        for (const Case &c : cases) {
            const std::string name = std::string(by_cli ? "BM_CliFlash/" : "BM_Flash/") +
                                     first_asked(c.image_bytes)->name + "/" + std::to_string(c.image_bytes) +
                                     "_bytes/" + std::to_string(c.baud) + "_baud";
            benchmark::RegisterBenchmark(name.c_str(), BM_Flash, c, small ? 1 : ROUNDS, !small && !by_cli, by_cli)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime()
                ->Iterations(1);
        }
    }
    return run_benchmarks(argc, argv, failed, true);
}
