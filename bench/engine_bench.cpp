// Commands sent and modelled device time of the window's plain sequence
// against the engine's defaults and against delta, for the images people
// flash; and eight boards flashed at once against one. The device takes the
// time a real EFM8UB1 takes for transfers, page erases and written bytes;
// the chip's own CRC time is not modelled. A missed target fails the run.
//
// engine_bench [--small] [benchmark options]: --small (CI) counts the
// device's time without sleeping it, so the command targets hold and the
// eight boards are flashed, but eight against one is not timed.
#include <kestrane/engine.h>
#include "bench_main.h"
#include "hidsim.h"
#include "gui/lib.h"

#include <benchmark/benchmark.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

efm8sim::Latency REAL_CHIP = {std::chrono::microseconds(1000), std::chrono::microseconds(5350),
                              std::chrono::microseconds(20)};
bool small = false;
bool failed = false;  // an error skips a benchmark but does not end the run

void miss(benchmark::State &state, const char *why)
{
    failed = true;
    state.SkipWithError(why);
}

Bytes dense(size_t count, uint8_t salt)
{
    Bytes image(count);
    for (size_t i = 0; i < count; ++i)
        image[i] = uint8_t(i * 73 + salt + i / 509);
    return image;
}

// What the chip holds after a full flash of image.
Bytes flashed(const Bytes &image)
{
    Bytes flash(efm8sim::FLASH_SIZE, 0xFF);
    std::copy(image.begin(), image.end(), flash.begin());
    return flash;
}

struct Scenario {
    const char *name;
    Bytes image;
    Bytes old_flash;  // what the chip holds before
};

const std::vector<Scenario> &scenarios()
{
    const Bytes full = dense(14848, 1);
    Bytes sparse(0x3000 + 512, 0xFF);
    std::copy_n(dense(2000, 2).begin(), 2000, sparse.begin());
    std::copy_n(dense(512, 3).begin(), 512, sparse.begin() + 0x3000);
    Bytes one_page_changed = full;
    for (size_t i = 0; i < 512; ++i)
        one_page_changed[7 * 512 + i] ^= 0x5A;
    const Bytes other = flashed(dense(14848, 99));
    static const std::vector<Scenario> all = {
        {"Dense14848", full, other},
        {"Image6K", dense(6144, 4), other},
        {"Sparse", sparse, other},
        {"OnePageChanged", one_page_changed, flashed(full)},
        {"Unchanged", full, flashed(full)},
    };
    return all;
}

enum class Mode { Plain, Defaults, Delta };

struct Outcome {
    size_t commands;
    std::chrono::nanoseconds device_time;
};

Outcome flash_once(const Scenario &scenario, Mode mode, const efm8sim::Latency &latency)
{
    hidsim::reset();
    hidsim::Device &board = hidsim::attach();
    board.model.flash() = scenario.old_flash;
    board.model.set_latency(latency);
    const uint32_t count = uint32_t(scenario.image.size());
    int32_t result;
    if (mode == Mode::Plain) {
        result = efm8_program(scenario.image.data(), count);
    } else {
        efm8_options options;
        efm8_default_options(&options);
        options.delta = mode == Mode::Delta;
        efm8_session *session = nullptr;
        result = efm8_open(nullptr, &session);
        if (result == EFM8_OK)
            result = efm8_flash(session, scenario.image.data(), count, &options, nullptr);
        efm8_close(session);
    }
    if (result != 0 || !std::equal(scenario.image.begin(), scenario.image.end(), board.model.flash().begin()))
        return {0, {}};
    return {board.model.frames().size(), board.model.device_time()};
}

size_t blank_chunks(const Bytes &image)
{
    size_t blank = 0;
    for (size_t at = 0; at < image.size(); at += 32) {
        const auto end = image.begin() + std::min(at + 32, image.size());
        blank += std::all_of(image.begin() + at, end, [](uint8_t b) { return b == 0xFF; });
    }
    return blank;
}

void BM_Flash(benchmark::State &state, const Scenario &scenario, Mode mode)
{
    Outcome outcome{};
    for (auto _ : state)
        outcome = flash_once(scenario, mode, REAL_CHIP);
    if (outcome.commands == 0) {
        miss(state, "the flash failed");
        return;
    }
    const size_t plain = flash_once(scenario, Mode::Plain, {}).commands;
    const size_t full_flash = flash_once(scenarios()[0], Mode::Plain, {}).commands;
    state.counters["commands"] = double(outcome.commands);
    state.counters["device_s"] = std::chrono::duration<double>(outcome.device_time).count();
    state.counters["of_plain"] = double(outcome.commands) / double(plain);

    const std::string name = scenario.name;
    const double of_full = double(outcome.commands) / double(full_flash);
    if (mode == Mode::Defaults && outcome.commands > plain + 1 - blank_chunks(scenario.image))
        miss(state, "target missed: defaults cost more than one command over the plain sequence");
    if (mode == Mode::Delta && name == "OnePageChanged" && of_full > 0.20)
        miss(state, "target missed: one changed page costs over 20% of a full flash");
    if (mode == Mode::Delta && name == "Unchanged" && of_full > 0.15)
        miss(state, "target missed: an unchanged image costs over 15% of a full flash");
}

// Eight boards on their own threads against one board, wall time.
double flash_boards(int boards)
{
    hidsim::reset();
    efm8_device devices[8];
    for (int i = 0; i < boards; ++i)
        hidsim::attach().model.set_latency(REAL_CHIP);
    efm8_list(devices, boards);
    const Bytes image = dense(14848, 5);
    std::vector<std::thread> threads;
    std::vector<int32_t> results(boards, -1);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < boards; ++i) {
        threads.emplace_back([&, i] {
            efm8_session *session = nullptr;
            results[i] = efm8_open(devices[i].path, &session);
            if (results[i] == EFM8_OK)
                results[i] = efm8_flash(session, image.data(), uint32_t(image.size()), nullptr, nullptr);
            efm8_close(session);
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return std::all_of(results.begin(), results.end(), [](int32_t r) { return r == EFM8_OK; }) ? seconds : -1;
}

void BM_EightBoardsAtOnce(benchmark::State &state)
{
    double one = 0, eight = 0;
    for (auto _ : state) {
        one = flash_boards(1);
        eight = flash_boards(8);
    }
    if (one < 0 || eight < 0) {
        miss(state, "a flash failed");
        return;
    }
    state.counters["one_s"] = one;
    state.counters["eight_s"] = eight;
    state.counters["eight_to_one"] = eight / one;
    if (eight / one > 1.3 && !small)
        miss(state, "target missed: eight boards take over 1.3 times as long as one");
}
BENCHMARK(BM_EightBoardsAtOnce)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

int main(int argc, char **argv)
{
    small = take_argument(argc, argv, "--small");
    REAL_CHIP.sleeps = !small;
    const std::pair<Mode, const char *> modes[] = {
        {Mode::Plain, "Plain"}, {Mode::Defaults, "Defaults"}, {Mode::Delta, "Delta"}};
    for (const Scenario &scenario : scenarios())
        for (const auto &[mode, name] : modes)
            benchmark::RegisterBenchmark((std::string("BM_Flash/") + scenario.name + "/" + name).c_str(), BM_Flash,
                                         std::cref(scenario), mode)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime()
                ->Iterations(1);
    return run_benchmarks(argc, argv, failed);
}
