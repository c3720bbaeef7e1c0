// The bootloader model behind a real-looking USB device: umockdev emulates
// the device's sysfs entry and its /dev/bus/usb node, and this answers the
// usbdevfs ioctls that libusb issues on it, so the real hidapi-libusb and
// libusb run unmodified. The process must run under umockdev's preload
// library (umockdev-wrapper), and the emulator must exist before hidapi
// initialises.
#ifndef EFM8SIM_USB_EMULATOR_H
#define EFM8SIM_USB_EMULATOR_H

#include "bootloader.h"

#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace usbemu {

using efm8sim::NEVER;

struct ControlTransfer {
    std::uint8_t request_type;
    std::uint8_t request;
    std::uint16_t value;
    std::uint16_t index;
    std::uint16_t length;  // wLength of the setup packet
};

struct UrbState;
struct Handler;

// One emulated bootloader device. Everything here is shared with umockdev's
// thread: read it under Emulator::lock().
struct Device {
    std::string sysfs_path;  // as udev names it, /sys/devices/...
    std::string node;  // absolute path of the device node inside the testbed

    efm8sim::Bootloader model{};
    std::vector<ControlTransfer> controls{};  // every control URB submitted
    int claims = 0;
    int releases = 0;
    int reconnects = 0;  // USBDEVFS_CONNECT: the kernel driver given back
    bool gone = false;   // unplugged: every ioctl but reaping fails with ENODEV

    // Faults: the Nth feature-report URB (either direction, counted from 0)
    // completes with this negative status instead of being carried out.
    std::size_t fail_report = NEVER;
    int fail_status = 0;
    // Pull the plug when the Nth feature-report URB is submitted.
    std::size_t unplug_at_report = NEVER;
    // The Nth feature-report URB is taken and never completes, as with a
    // device that stopped answering: only the client's discard ends it.
    std::size_t silent_report = NEVER;
    std::size_t reports = 0;

    std::list<UrbState *> pending{};  // submitted, not yet done (the interrupt IN reader)
    std::list<UrbState *> done{};     // done, waiting to be reaped
    int wake_fd = -1;               // the node, a FIFO: writable while a URB waits in done
    bool signalled = false;
    Handler *handler = nullptr;     // answers the node's ioctls on umockdev's thread
};

class Emulator {
public:
    Emulator();
    ~Emulator();
    Emulator(const Emulator &) = delete;
    Emulator &operator=(const Emulator &) = delete;

    // Adds a device to the bus and announces it as udev does.
    Device &attach(std::uint16_t vendor_id = 0x10C4, std::uint16_t product_id = 0xEAC9);
    // Pulls the plug: ioctls fail with ENODEV, the reader URB completes with
    // -ENODEV, and udev announces the removal.
    void detach(Device &device);
    // Makes the node unopenable for a process without root's file override.
    void deny_access(Device &device);

    std::mutex &lock() { return mutex_; }

private:
    friend struct Handler;
    void unplug_locked(Device &device);

    UMockdevTestbed *testbed_;
    std::string root_;
    std::list<Device> devices_;
    std::mutex mutex_;
    int next_devnum_ = 2;
};

}  // namespace usbemu

#endif
