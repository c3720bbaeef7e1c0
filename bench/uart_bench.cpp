// A full flash of a 64 KB part over the UART transport, through the
// kernel's tty layer to a simulated board: the image bytes for each byte
// that crosses the line with 128-byte writes, and the modelled time at
// 115200 and 460800 baud against the floor, the image's own bytes on the
// line plus the erases and writes no loader avoids. Identify costs one
// record per id it probes, so the first and the last 64 KB derivative in
// the table's order are both measured. A missed target fails the run.
#include <kestrane/engine.h>
#include "uart_board.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Seconds = std::chrono::duration<double>;

const uint32_t FULL_64K_AREA = 0xFA00;
const double BITS_PER_BYTE = 10;  // start, 8 data bits, stop
const uint32_t BAUDS[] = {115200, 460800};
const double WIRE_TARGET = 0.95;   // image bytes per byte on the line, at least
const double FLOOR_TARGET = 1.1;   // modelled time over the floor, at most

// Page erase and byte write: the typical figures of the EFM8 data sheets'
// flash tables, as bench/engine_bench.cpp takes them. The turnaround, from
// a record's last byte to its reply, is an assumption: a few hundred
// instructions of the bootloader. The model charges its per-transfer time
// on the record and again on the reply. The chip's CRC for verify is not
// modelled.
const auto ERASE = std::chrono::microseconds(5350);
const auto WRITE_PER_BYTE = std::chrono::microseconds(20);
const auto TURNAROUND = std::chrono::microseconds(20);
const efm8sim::Latency CHIP = {TURNAROUND / 2, ERASE, WRITE_PER_BYTE, false};

// The 64 KB derivatives, in the order identify probes them.
std::vector<const efm8_part *> full_64k_parts()
{
    std::vector<const efm8_part *> found;
    size_t count;
    const efm8_part *parts = efm8_parts(&count);
    for (size_t i = 0; i < count; ++i)
        if (parts[i].interface == EFM8_UART && parts[i].app_limit == FULL_64K_AREA)
            found.push_back(&parts[i]);
    return found;
}

// No 128-byte run of 0xFF, so blank skip saves nothing.
Bytes dense(size_t count)
{
    Bytes image(count);
    for (size_t i = 0; i < count; ++i)
        image[i] = uint8_t(i * 73 + 11 + i / 509);
    return image;
}

struct Outcome {
    bool landed = false;
    size_t wire_bytes = 0;  // both ways, the training byte included
    uint32_t commands = 0;
    Seconds device_time{0};
};

Outcome flash_full(const efm8_part &part, const Bytes &image)
{
    efm8sim::UartBoard board(efm8sim::layout_of(part), part.id);
    {
        std::lock_guard<std::mutex> guard(board.lock());
        board.model().set_latency(CHIP);
    }
    efm8_session *session = nullptr;
    efm8_report report;
    int32_t result = efm8_open_port(board.path().c_str(), nullptr, &session);
    if (result == EFM8_OK)
        result = efm8_flash(session, image.data(), uint32_t(image.size()), nullptr, &report);
    efm8_close(session);
    Outcome outcome;
    outcome.wire_bytes = board.received().size() + board.sent();
    outcome.commands = report.commands;
    std::lock_guard<std::mutex> guard(board.lock());
    const Bytes &flash = board.model().flash();
    outcome.landed = result == EFM8_OK && std::equal(image.begin(), image.end(), flash.begin());
    outcome.device_time = board.model().device_time();
    return outcome;
}

std::string text(double value)
{
    char digits[32];
    std::snprintf(digits, sizeof digits, "%.4g", value);
    return digits;
}

Seconds on_the_line(size_t bytes, uint32_t baud)
{
    return Seconds(double(bytes) * BITS_PER_BYTE / baud);
}

// The image's bytes on the line, each page erased once, each byte written
// once.
Seconds floor_time(const efm8_part &part, size_t image_bytes, uint32_t baud)
{
    const size_t pages = (image_bytes + part.family->page_size - 1) / part.family->page_size;
    return on_the_line(image_bytes, baud) + pages * ERASE + image_bytes * WRITE_PER_BYTE;
}

void BM_FullFlash(benchmark::State &state, const efm8_part *part)
{
    const Bytes image = dense(part->app_limit);
    Outcome outcome;
    for (auto _ : state)
        outcome = flash_full(*part, image);
    if (!outcome.landed) {
        state.SkipWithError("the flash failed or did not land");
        return;
    }
    const double per_wire = double(image.size()) / double(outcome.wire_bytes);
    state.counters["wire_bytes"] = double(outcome.wire_bytes);
    state.counters["commands"] = outcome.commands;
    state.counters["image_per_wire"] = per_wire;
    bool missed = per_wire < WIRE_TARGET;
    // An error hides the counters: it carries the figures itself.
    std::string figures = "image/wire " + text(per_wire);
    for (uint32_t baud : BAUDS) {
        const std::string at = std::to_string(baud);
        const Seconds modelled = on_the_line(outcome.wire_bytes, baud) + outcome.device_time;
        const Seconds floor = floor_time(*part, image.size(), baud);
        const double of_floor = modelled / floor;
        state.counters["modelled_s_" + at] = modelled.count();
        state.counters["floor_s_" + at] = floor.count();
        state.counters["of_floor_" + at] = of_floor;
        missed = missed || of_floor > FLOOR_TARGET;
        figures += ", " + text(of_floor) + "x the floor at " + at + " baud";
    }
    if (missed)
        state.SkipWithError(("target missed (image/wire at least " + text(WIRE_TARGET) + ", at most " +
                             text(FLOOR_TARGET) + "x the floor): " + figures)
                                .c_str());
}

}  // namespace

int main(int argc, char **argv)
{
    const std::vector<const efm8_part *> parts = full_64k_parts();
    for (const efm8_part *part : {parts.front(), parts.back()})
        benchmark::RegisterBenchmark((std::string("BM_FullFlash/") + part->name).c_str(), BM_FullFlash, part)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->Iterations(1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
