// A full 14848-byte flash against the simulated device: the link's own cost
// per command with the device answering at once, and with the device taking
// the time a real EFM8UB1 takes, as a ratio to that device time. A flash
// that fails fails the run. CI runs it with
// --benchmark_filter=InstantDevice --benchmark_min_time=0.05.
#include "bench_main.h"
#include "hidsim.h"
#include "gui/lib.h"

#include <benchmark/benchmark.h>

#include <sys/prctl.h>

#include <vector>

namespace {

const uint32_t FULL_IMAGE = 14848;
const int COMMANDS = 2 + 29 + 464 + 1;
bool failed = false;  // an error skips a benchmark but does not end the run

void full_flash(benchmark::State &state, const efm8sim::Latency &latency)
{
    const std::vector<uint8_t> image(FULL_IMAGE, 0x5A);
    std::chrono::nanoseconds device_time{0}, total_time{0};
    for (auto _ : state) {
        state.PauseTiming();
        hidsim::reset();
        hidsim::Device &device = hidsim::attach();
        device.model.set_latency(latency);
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        if (efm8_program(image.data(), FULL_IMAGE) != 0) {
            failed = true;
            state.SkipWithError("flash failed");
            return;
        }
        total_time += std::chrono::steady_clock::now() - start;
        device_time += device.model.device_time();
    }
    state.counters["per_command"] = benchmark::Counter(
        double(state.iterations()) * COMMANDS, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    if (device_time.count() > 0) {
        state.counters["device_s"] = std::chrono::duration<double>(device_time).count() / state.iterations();
        state.counters["total_to_device"] = double(total_time.count()) / double(device_time.count());
    }
}

void BM_FullFlashInstantDevice(benchmark::State &state)
{
    full_flash(state, {});
}
BENCHMARK(BM_FullFlashInstantDevice)->Unit(benchmark::kMicrosecond);

// 1 ms per USB transfer, 5.35 ms per page erase, 20 us per written byte.
void BM_FullFlashRealDeviceTiming(benchmark::State &state)
{
    full_flash(state, {std::chrono::microseconds(1000), std::chrono::microseconds(5350),
                       std::chrono::microseconds(20)});
}
BENCHMARK(BM_FullFlashRealDeviceTiming)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

int main(int argc, char **argv)
{
    // The simulated device sleeps on this thread: its sleeps end when asked,
    // not up to 50 us later, or each of its thousand would add its slack to
    // the link's time.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    return run_benchmarks(argc, argv, failed);
}
