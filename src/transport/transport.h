// How the engine reaches a bootloader: send one record, get one reply code.
// One file per transport: transport_usb.cpp (HID feature reports through
// hidapi) and transport_serial.cpp (a serial port through termios).
#ifndef KESTRANE_TRANSPORT_H
#define KESTRANE_TRANSPORT_H

#include <kestrane/board.h>
#include <kestrane/entry.h>
#include <kestrane/result.h>

#include "protocol/protocol.h"
#include "transport/lines.h"

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

struct efm8_transport {
    // Sends one record ('$' first) and waits for its reply: the reply code,
    // or EFM8_ERR_TRANSFER with os_error and error saying why.
    int32_t (*exchange)(struct efm8_transport *self, const uint8_t *record, size_t len);
    // Closes and frees the transport, its lines released first.
    void (*close)(struct efm8_transport *self);
    // A serial port's own (NULL over USB): a reset or boot line driven
    // (EFM8_OK where the transport has no such line), bytes sent as they
    // are at a baud rate of their own (0: the port's) and drained, and the
    // training byte. Failures keep their words in error.
    int32_t (*drive)(struct efm8_transport *self, enum efm8_step_kind role, bool asserted);
    int32_t (*send_at)(struct efm8_transport *self, const uint8_t *bytes, size_t len, uint32_t baud);
    int32_t (*train)(struct efm8_transport *self);
    enum efm8_interface interface;
    int os_error;
    char error[128];
};

// USB bootloaders, as efm8_list gives them.
int32_t usb_transport_list(struct efm8_device *devices, int32_t max);
// The bootloader at path, or with path NULL the only one attached. Results
// as efm8_open's.
int32_t usb_transport_open(const char *path, struct efm8_device *device, struct efm8_transport **transport);
// As efm8_enter_usb.
int32_t usb_transport_enter(uint16_t vendor_id, uint16_t product_id, const uint8_t *report, size_t length);

// Results as efm8_open_port_entry's; settings whole, never NULL; the board
// is not trained yet. The reset and boot lines (either may be
// EFM8_LINE_NONE) are claimed and released; a line that fails says why in
// failure.
int32_t serial_transport_open(const char *port, const struct efm8_port_settings *settings,
                              const struct efm8_line *reset, const struct efm8_line *boot,
                              struct efm8_transport **transport, struct line_failure *failure);
int32_t serial_transport_list(struct efm8_port *ports, int32_t max);
// The rates a port is opened at, in rising order (efm8_baud_rates).
const uint32_t *serial_baud_rates(size_t *count);

// The exclusive flags this process set on ports (serial_hold.cpp). hold
// sets the flag and keeps the port for release_all; false once the process
// is ending. unhold clears it. release_all clears every one, from a signal
// handler (async-signal-safe), and refuses holds from then on.
bool serial_hold(int fd);
void serial_unhold(int fd);
void serial_release_all(void);
// efm8_check_port's answer.
int32_t serial_check_port(const char *port);

// Keeps text as the transport's words for its last failure, cut to fit.
static inline void transport_set_error(struct efm8_transport *transport, int os_error, const char *text)
{
    transport->os_error = os_error;
    snprintf(transport->error, sizeof transport->error, "%s", text);
}

// Puts entry in its place among the first filled entries, sorted by path,
// keeping no more than max: listings come out in the same order every time.
template <typename Entry>
void insert_sorted_by_path(Entry *entries, int32_t filled, int32_t max, const Entry &entry)
{
    int32_t at = filled;
    while (at > 0 && strcmp(entries[at - 1].path, entry.path) > 0)
        --at;
    if (at >= max)
        return;
    const int32_t kept = filled < max ? filled : max - 1;
    memmove(&entries[at + 1], &entries[at], (size_t)(kept - at) * sizeof *entries);
    entries[at] = entry;
}

#endif
