// The shipped link over the real hidapi-libusb and libusb against the
// emulated device: the time of a full flash, and what an open handle costs
// while nothing happens. Runs under umockdev-wrapper. umockdev answers a
// report as soon as it is asked, where a full-speed bus takes a frame: the
// device spends 1 ms on each report each way (and the data sheets' 5.35 ms
// a page erase, 20 us a byte written), so the flash's time is set against
// that device time; the same flash with the device answering at once
// measures the emulation and the host alone, and says so.
//
// usb_bench [--small] [benchmark options]: --small (CI) flashes once each
// way and holds the handle open for half a second.
#include "bench_main.h"
#include "gui/lib.h"
#include "usb_emulator.h"

#include <benchmark/benchmark.h>
#include <hidapi.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <time.h>
#include <vector>

namespace {

usbemu::Emulator *emulator;
bool small = false;
bool failed = false;  // an error skips a benchmark but does not end the run
// The last flash's wall and device time, by latency modelled or not.
std::chrono::duration<double> flash_wall[2], flash_device[2];

const efm8sim::Latency FULL_SPEED_CHIP = {std::chrono::milliseconds(1), std::chrono::microseconds(5350),
                                          std::chrono::microseconds(20)};

double process_cpu_seconds()
{
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

void full_flash(benchmark::State &state, const efm8sim::Latency &latency)
{
    const std::vector<uint8_t> image(14848, 0xA5);
    std::chrono::nanoseconds device_time{0}, total_time{0};
    for (auto _ : state) {
        state.PauseTiming();
        usbemu::Device &device = emulator->attach();
        device.model.set_latency(latency);
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        if (efm8_program(image.data(), 14848) != 0) {
            failed = true;
            state.SkipWithError("flash failed");
            return;
        }
        total_time += std::chrono::steady_clock::now() - start;
        device_time += device.model.device_time();
    }
    const bool modelled = device_time.count() > 0;
    flash_wall[modelled] = total_time / state.iterations();
    flash_device[modelled] = device_time / state.iterations();
    if (modelled)
        state.counters["of_device_time"] = double(total_time.count()) / double(device_time.count());
}

// 1 ms a report each way, as the bus takes.
void BM_FullFlashOverUsb(benchmark::State &state)
{
    full_flash(state, FULL_SPEED_CHIP);
}

// The device answering at once: what the emulation and the host cost, not
// what a board would.
void BM_FullFlashOverUsbEmulationOnly(benchmark::State &state)
{
    full_flash(state, {});
}

// hidapi's reader thread waits on libusb while the handle is open.
void BM_IdleOpenHandle(benchmark::State &state)
{
    usbemu::Device &device = emulator->attach();
    double cpu = 0, wall = 0;
    for (auto _ : state) {
        hid_device *handle = hid_open(0x10C4, 0xEAC9, NULL);
        if (!handle) {
            failed = true;
            state.SkipWithError("open failed");
            break;
        }
        const double cpu_start = process_cpu_seconds();
        const auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(small ? std::chrono::milliseconds(500) : std::chrono::milliseconds(2000));
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        cpu += process_cpu_seconds() - cpu_start;
        hid_close(handle);
    }
    emulator->detach(device);
    state.counters["idle_cpu_percent"] = 100.0 * cpu / wall;
}

}  // namespace

int main(int argc, char **argv)
{
    small = take_argument(argc, argv, "--small");
    const int iterations = small ? 1 : 3;
    benchmark::RegisterBenchmark("BM_FullFlashOverUsb", BM_FullFlashOverUsb)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Iterations(iterations);
    benchmark::RegisterBenchmark("BM_FullFlashOverUsbEmulationOnly", BM_FullFlashOverUsbEmulationOnly)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Iterations(iterations);
    benchmark::RegisterBenchmark("BM_IdleOpenHandle", BM_IdleOpenHandle)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Iterations(1);
    emulator = new usbemu::Emulator;
    const int status = run_benchmarks(argc, argv, failed);
    delete emulator;
    if (flash_device[1].count() > 0)
        std::printf("usb_bench: a 14848-byte flash took %.3f s with the device spending %.3f s (1 ms a report each "
                    "way, erases and writes), %.2fx; with the device answering at once it took %.3f s, which is "
                    "umockdev's emulation and the host, not a bus: the figures measure the emulation\n",
                    flash_wall[1].count(), flash_device[1].count(), flash_wall[1] / flash_device[1],
                    flash_wall[0].count());
    return status;
}
