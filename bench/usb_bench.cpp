// The shipped link over the real hidapi-libusb and libusb against the
// emulated device: the time of a full flash, and what an open handle costs
// while nothing happens. Runs under umockdev-wrapper.
#include "gui/lib.h"
#include "usb_emulator.h"

#include <benchmark/benchmark.h>
#include <hidapi.h>

#include <thread>
#include <time.h>
#include <vector>

namespace {

usbemu::Emulator *emulator;

double process_cpu_seconds()
{
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

void BM_FullFlashOverUsb(benchmark::State &state)
{
    const std::vector<uint8_t> image(14848, 0xA5);
    for (auto _ : state) {
        state.PauseTiming();
        emulator->attach();
        state.ResumeTiming();
        if (efm8_program(image.data(), 14848) != 0)
            state.SkipWithError("flash failed");
    }
}
BENCHMARK(BM_FullFlashOverUsb)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// hidapi's reader thread waits on libusb while the handle is open.
void BM_IdleOpenHandle(benchmark::State &state)
{
    usbemu::Device &device = emulator->attach();
    double cpu = 0, wall = 0;
    for (auto _ : state) {
        hid_device *handle = hid_open(0x10C4, 0xEAC9, NULL);
        if (!handle) {
            state.SkipWithError("open failed");
            break;
        }
        const double cpu_start = process_cpu_seconds();
        const auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(2));
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        cpu += process_cpu_seconds() - cpu_start;
        hid_close(handle);
    }
    emulator->detach(device);
    state.counters["idle_cpu_percent"] = 100.0 * cpu / wall;
}
BENCHMARK(BM_IdleOpenHandle)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

int main(int argc, char **argv)
{
    emulator = new usbemu::Emulator;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    delete emulator;
    return 0;
}
