// What a front end asks of the line, filled from its own options: what a
// flash does on each board besides writing the image, and the line around
// it (the record, serial numbers, retries).
#ifndef KESTRANE_PRODUCTION_SETTINGS_H
#define KESTRANE_PRODUCTION_SETTINGS_H

#include "firmware/image.h"
#include "production/serial_number.h"
#include <kestrane/engine.h>
#include <kestrane/entry.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace production {

// How long a retried board may take to come back when nothing else is
// said: time to reseat a board in its fixture.
const double RETRY_WAIT_SECONDS = 30;
// Tries after the first, for a flash cut short by a dropped transfer or a
// board that left.
const unsigned RETRIES_DEFAULT = 1;

// How long a board brought into its USB bootloader by its application may
// take to appear when nothing else is said.
const double ENTER_HID_WAIT_SECONDS = 10;

// An application's own way into its USB bootloader: an output report to
// the HID device with this USB id.
struct EnterHid {
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    std::vector<std::uint8_t> report;  // the report id first
};

// An entry that does nothing: the board is in its bootloader already.
inline efm8_entry no_entry()
{
    efm8_entry entry;
    efm8_default_entry(&entry);
    return entry;
}

// A lock asked for besides any a file asks.
struct LockRequest {
    std::optional<std::uint8_t> pages;  // lock pages 0 to pages-1
    bool disable_bootloader = false;
    bool asked() const { return pages || disable_bootloader; }
};

struct FlashRequest {
    bool verify = true;
    bool delta = false;
    bool run = true;
    std::uint32_t write_size = 0;  // 0: the transport's default
    LockRequest lock;
    bool force = false;  // confirms what cannot be undone
};

struct Settings {
    std::string file;  // "-" is standard input
    std::optional<firmware::Format> input_format;  // the file as this format, never told by content
    FlashRequest flash;
    efm8_port_settings port{};  // for boards on serial ports
    std::optional<serial_number::Placement> serial_at;  // where each board's number goes
    std::string counter;  // the counter the numbers come from
    std::string db;       // the station database, a file or a server's URI; empty: the default one
    std::string station;  // the station each attempt names; empty: the host's name
    bool record = true;
    unsigned retries = RETRIES_DEFAULT;
    double retry_wait_seconds = RETRY_WAIT_SECONDS;  // negative: for ever
    efm8_entry entry = no_entry();  // for boards on serial ports
};

}  // namespace production

#endif
