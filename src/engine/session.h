// Inside the engine: a session with one board, and one function per
// bootloader command over it. Not for front ends.
#ifndef KESTRANE_SESSION_H
#define KESTRANE_SESSION_H

#include <kestrane/engine.h>
#include <kestrane/entry.h>
#include "protocol/parts.h"
#include "protocol/protocol.h"
#include "transport/transport.h"

#include <atomic>

struct efm8_session {
    struct efm8_transport *transport = nullptr;
    struct efm8_device device = {};
    struct efm8_report *report = nullptr;  // of the call under way: &current
    struct efm8_report current = {};
    struct efm8_report *out = nullptr;     // the caller's, filled when the call ends; may be NULL
    // What identify found; asked once per session.
    bool identified = false;
    const struct efm8_part *part = nullptr;
    const struct efm8_family *family = nullptr;
    uint8_t record[EFM8_RECORD_MAX] = {};
    bool reset_after = false;  // a reset pulse when it closes (entry.cpp)
    // The exported call under way, NULL between calls: a session is driven
    // by one call at a time (src/api takes and gives it back).
    std::atomic<const char *> call{nullptr};
    // An id the board answered identify for: asking again is needless.
    int32_t matched_id = -1;
};

// A session over an open transport, which it closes when it cannot start.
int32_t start_session(struct efm8_transport *transport, const struct efm8_device *device, efm8_session **session);
// The reset pulse entry asked for when the session closes, boot released.
void session_reset_after(efm8_session *session);

// Every public call starts a fresh report of the session's own, handed to
// the caller's (report, which may be NULL) when it ends by returning its
// result through finish.
struct efm8_report *session_begin(efm8_session *session, struct efm8_report *report);
int32_t session_finish(efm8_session *session, int32_t result);
// Options refused before anything is sent, what was wrong in the report's
// words. Returns EFM8_ERR_OPTIONS.
int32_t refuse_options(efm8_session *session, const char *why);
// Keeps where a command failed: the first failure is the one that counts.
int32_t record_failure(efm8_session *session, int32_t result, uint32_t address, int32_t reply);

// The commands. Those whose only good answer is '@' return EFM8_OK or a
// failure; the others say what they return.
int32_t cmd_setup(efm8_session *session);
int32_t cmd_erase(efm8_session *session, uint32_t address, const uint8_t *data, uint32_t len);
int32_t cmd_write(efm8_session *session, uint32_t address, const uint8_t *data, uint32_t len);
// 1 when the flash from start to end (inclusive) has this CRC, 0 when it
// has not, or a failure.
int32_t cmd_verify(efm8_session *session, uint32_t start, uint32_t end, uint16_t crc);
int32_t cmd_runapp(efm8_session *session);
// The reply code (0x40 when the part has this id, 0x42 when not), or a
// failure.
int32_t cmd_identify(efm8_session *session, uint32_t id);
// The bootloader's version byte, or a failure.
int32_t cmd_unknown(efm8_session *session);
int32_t cmd_lock(efm8_session *session, uint8_t signature, uint8_t lock);
// The reply to a write of one 0xFF byte at address (which changes nothing),
// or a failure.
int32_t cmd_probe(efm8_session *session, uint32_t address);

uint32_t session_page_size(const efm8_session *session);

// Identifies the part once per session (identify.cpp), asking first for
// the parts that take an image of image_size bytes (0: in table order).
int32_t know_part(efm8_session *session, uint32_t image_size);
// Whether an image of count bytes fits the part: by the table, before the
// flash keys are sent; then, when the table does not settle it, by asking
// the bootloader, after them. EFM8_OK, EFM8_ERR_SIZE or a failure.
int32_t check_fits_table(efm8_session *session, uint32_t count);
int32_t check_fits_device(efm8_session *session, uint32_t count);

// Locks the chip and reads back what its bytes now hold (lock.cpp).
int32_t lock_chip(efm8_session *session, uint8_t signature, uint8_t lock);

#endif
