// The emulated USB bootloaders for a program that cannot link C++: a shared
// library with C calls, which the Python tests load with ctypes. The process
// runs under umockdev-wrapper, and usbsim_start comes before libkestrane
// first lists or opens a USB device.
#include "usb_emulator.h"

#include "../tests/common/without_file_override.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#define USBSIM_API extern "C" __attribute__((visibility("default")))

namespace {

std::unique_ptr<usbemu::Emulator> emulator;
std::vector<usbemu::Device *> devices;
std::unique_ptr<WithoutFileOverride> without_override;

usbemu::Device *device_at(int index)
{
    return emulator && index >= 0 && static_cast<std::size_t>(index) < devices.size() ? devices[index] : nullptr;
}

}  // namespace

// 0, or -1 when umockdev's preload library is missing.
USBSIM_API int usbsim_start(void)
{
    try {
        emulator = std::make_unique<usbemu::Emulator>();
        return 0;
    } catch (const std::exception &) {
        return -1;
    }
}

// Attaches a bootloader (product 0xEAC9 an EFM8UB1's) and returns its
// index, counted from 0.
USBSIM_API int usbsim_attach(unsigned product_id)
{
    if (!emulator)
        return -1;
    devices.push_back(&emulator->attach(0x10C4, static_cast<std::uint16_t>(product_id)));
    return static_cast<int>(devices.size() - 1);
}

USBSIM_API void usbsim_detach(int index)
{
    if (usbemu::Device *device = device_at(index); device != nullptr && !device->gone)
        emulator->detach(*device);
}

// The node refuses a process without root's file override: see
// usbsim_drop_file_override.
USBSIM_API void usbsim_deny_access(int index)
{
    if (usbemu::Device *device = device_at(index))
        emulator->deny_access(*device);
}

// Copies up to size bytes of the device's flash; returns how many.
USBSIM_API long usbsim_flash(int index, unsigned char *bytes, long size)
{
    usbemu::Device *device = device_at(index);
    if (device == nullptr)
        return -1;
    std::lock_guard<std::mutex> held(emulator->lock());
    const std::vector<std::uint8_t> &flash = device->model.flash();
    const long count = std::min<long>(size, static_cast<long>(flash.size()));
    std::memcpy(bytes, flash.data(), static_cast<std::size_t>(count));
    return count;
}

// The calling thread opens files as a user without the rights would, until
// usbsim_restore_file_override.
USBSIM_API void usbsim_drop_file_override(void)
{
    without_override = std::make_unique<WithoutFileOverride>();
}

USBSIM_API void usbsim_restore_file_override(void)
{
    without_override.reset();
}

USBSIM_API void usbsim_stop(void)
{
    for (usbemu::Device *device : devices)
        if (!device->gone)
            emulator->detach(*device);
    devices.clear();
    emulator.reset();
}
