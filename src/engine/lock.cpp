// Locking, and checks of which part a board is. The bootloader cannot read
// flash, so the lock and signature bytes are read back by asking it for
// their CRC, one guess at a time.
#include "engine/session.h"

#include "engine/calls.h"

static const uint32_t BYTE_VALUES = 256;

// The value of the byte at address, found by 1-byte CRC checks with the
// likeliest value first; -1 when the bootloader will not check it, or a
// failure.
static int32_t read_back(efm8_session *session, uint32_t address, uint8_t likely)
{
    for (uint32_t i = 0; i < BYTE_VALUES; ++i) {
        const uint8_t guess = (uint8_t)(likely - i);
        const struct efm8_report before = *session->report;
        const int32_t holds = cmd_verify(session, address, address, crc16(&guess, 1));
        if (holds == EFM8_ERR_REFUSED) {
            // Not a failure of the call: the byte is only not readable.
            const uint32_t commands = session->report->commands;
            *session->report = before;
            session->report->commands = commands;
            return -1;
        }
        if (holds != 0)
            return holds == 1 ? guess : holds;
    }
    return -1;
}

int32_t lock_chip(efm8_session *session, uint8_t signature, uint8_t lock)
{
    struct efm8_report *report = session->report;
    int32_t result = cmd_lock(session, signature, lock);
    if (result != EFM8_OK)
        return result;
    report->locked = 1;
    if (session->part == NULL)
        return EFM8_OK;  // where the bytes are is not known
    const uint32_t lock_address = session->part->lock_byte;
    result = read_back(session, lock_address, lock);
    if (result < -1)
        return result;
    report->lock_value = result;
    result = read_back(session, lock_address - 1, signature);
    if (result < -1)
        return result;
    report->signature_value = result;
    return EFM8_OK;
}

int32_t engine::lock(efm8_session *session, uint8_t signature, uint8_t lock, struct efm8_report *report)
{
    session_begin(session, report);
    int32_t result = know_part(session, 0);
    if (result == EFM8_OK)
        result = cmd_setup(session);
    if (result == EFM8_OK)
        result = lock_chip(session, signature, lock);
    return session_finish(session, result);
}

int32_t engine::check_ids(efm8_session *session, const uint16_t *ids, size_t count, struct efm8_report *report)
{
    session_begin(session, report);
    int32_t result = know_part(session, 0);
    for (size_t i = 0; result == EFM8_OK && i < count; ++i)
        if (session->matched_id == ids[i])
            return session_finish(session, EFM8_OK);
    for (size_t i = 0; result == EFM8_OK && i < count; ++i) {
        const int32_t reply = cmd_identify(session, ids[i]);
        if (reply == EFM8_REPLY_ACK) {
            session->matched_id = ids[i];
            return session_finish(session, EFM8_OK);
        }
        if (reply < 0)
            result = reply;
    }
    return session_finish(session, result == EFM8_OK ? EFM8_ERR_WRONG_PART : result);
}
