// Control of the simulated USB bus behind the hidapi stand-in
// (sim/hidapi_sim.cpp): tests attach and detach bootloader devices, inject
// transport faults and read what the program did. Devices are found as
// "sim:N", N counting attachments from 1. Several threads may drive
// different devices at once; attach, detach and reset belong to the test.
#ifndef EFM8SIM_HIDSIM_H
#define EFM8SIM_HIDSIM_H

#include "bootloader.h"

#include <cstddef>
#include <cstdint>
#include <functional>

namespace hidsim {

using efm8sim::NEVER;

struct Device {
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    efm8sim::Bootloader model;
    bool plugged = true;
    bool deny_open = false;  // opening fails, as for a user without access

    // Transport faults, transfers counted from 0 in each direction.
    std::size_t fail_send = NEVER;   // the send returns -1, nothing arrives
    std::size_t fail_read = NEVER;   // the reply read returns -1
    std::size_t short_read = NEVER;  // the reply read returns 1 byte, the id only

    // An application's HID interface rather than a bootloader: what
    // hid_write does with its output report, the report id first. Empty:
    // writes fail, as the bootloader takes none.
    std::function<int(const unsigned char *data, std::size_t length)> on_write;

    std::size_t sends = 0;  // feature reports sent to it, failed ones included
    std::size_t reads = 0;  // reply reads asked of it, failed ones included
    int opens = 0;
    int closes = 0;
    int blocking_mode_sets = 0;
};

struct Counters {
    long calls = 0;             // every call into the hidapi API
    long enumerations = 0;
    long live_list_entries = 0; // enumerated entries not yet freed
    long open_handles = 0;
};

// Puts a device on the bus; the reference stays valid until reset().
Device &attach(std::uint16_t vendor_id = 0x10C4, std::uint16_t product_id = 0xEAC9);
// Unplugs it: it leaves enumeration and every transfer to it fails.
void detach(Device &device);
// Removes every device and zeroes the counters.
void reset();
const Counters &counters();
// Told of each enumeration ("enumerate N found"), open and close, for the
// demo's log; empty by default.
void observe(std::function<void(const char *event)> observer);

}  // namespace hidsim

#endif
