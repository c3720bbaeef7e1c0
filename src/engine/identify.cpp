// Which part a session talks to, and whether an image fits it. Identify
// answers 0x40 only for the part's own DEVICEID:DERIVID, so the table's ids
// are asked one after another.
#include "engine/session.h"

#include "engine/calls.h"
#include "engine/sized.h"

#include <string.h>

static const uint32_t DERIVATIVES = 256;
// Any id serves to ask whether a bootloader listens.
static const uint32_t PING_ID = 0x0000;

// The documented derivatives that come with the session's interface; over
// USB only those of the product id's family.
static bool candidate(const efm8_session *session, const struct efm8_part &part)
{
    if (part.interface != session->device.interface)
        return false;
    return session->device.interface != EFM8_USB || part.family->product_id == session->device.product_id;
}

// Parts whose area takes the image are asked first: a board is most often
// one its image was built for, and every id asked costs a record.
static int32_t probe_parts(efm8_session *session, uint32_t image_size)
{
    size_t count;
    const struct efm8_part *parts = part_table(&count);
    for (size_t k = 0; k < 2 * count; ++k) {
        const size_t i = k % count;
        const bool first_round = k < count;
        if (!candidate(session, parts[i]) || (parts[i].app_limit >= image_size) != first_round)
            continue;
        const int32_t reply = cmd_identify(session, parts[i].id);
        if (reply < 0)
            return reply;
        if (reply == EFM8_REPLY_ACK) {
            session->part = &parts[i];
            session->family = parts[i].family;
            return EFM8_OK;
        }
    }
    return EFM8_OK;
}

// Over a UART, the families whose derivatives the table lacks are asked
// with every derivative id. (A USB bootloader's product id names its family.)
static int32_t probe_families(efm8_session *session)
{
    if (session->device.interface == EFM8_USB)
        return EFM8_OK;
    size_t count;
    const struct efm8_family *families = part_families(&count);
    for (size_t f = 0; f < count; ++f) {
        if (families[f].interface != EFM8_UART || families[f].derivatives_documented)
            continue;
        for (uint32_t derivative = 0; derivative < DERIVATIVES; ++derivative) {
            const int32_t reply = cmd_identify(session, (uint32_t)families[f].device_id << 8 | derivative);
            if (reply < 0)
                return reply;
            if (reply == EFM8_REPLY_ACK) {
                session->family = &families[f];
                return EFM8_OK;
            }
        }
    }
    return EFM8_OK;
}

int32_t know_part(efm8_session *session, uint32_t image_size)
{
    if (session->identified)
        return EFM8_OK;
    int32_t result = probe_parts(session, image_size);
    if (result == EFM8_OK && session->part == NULL)
        result = probe_families(session);
    session->identified = result == EFM8_OK;
    return result;
}

int32_t check_fits_table(efm8_session *session, uint32_t count)
{
    const struct efm8_part *part = session->part;
    const uint32_t limit = part != NULL ? part->app_limit : EFM8_ADDRESS_SPACE;
    if (part != NULL ? part_holds(part, count) : count > 0 && count <= limit)
        return EFM8_OK;
    session->report->limit = limit;
    return EFM8_ERR_SIZE;
}

int32_t check_fits_device(efm8_session *session, uint32_t count)
{
    if (session->part != NULL && !session->part->limit_inferred)
        return EFM8_OK;
    const uint32_t last = count - 1;
    const int32_t reply = cmd_probe(session, last);
    if (reply < 0)
        return reply;
    if (reply == EFM8_REPLY_RANGE) {
        record_failure(session, EFM8_ERR_SIZE, last, reply);
        return EFM8_ERR_SIZE;
    }
    if (reply != EFM8_REPLY_ACK)
        return record_failure(session, EFM8_ERR_REFUSED, last, reply);
    return EFM8_OK;
}

int32_t engine::identify(efm8_session *session, struct efm8_identity *identity, struct efm8_report *report)
{
    session_begin(session, report);
    struct efm8_identity whole;
    memset(&whole, 0, sizeof whole);
    whole.version = -1;
    int32_t result = know_part(session, 0);
    if (result == EFM8_OK) {
        const int32_t version = cmd_unknown(session);
        if (version >= 0)
            whole.version = version;
        else
            result = version;
    }
    whole.part = session->part;
    whole.family = session->family;
    whole.page_size = session_page_size(session);
    whole.app_limit = session->part != NULL ? session->part->app_limit : 0;
    identity_out(&whole, identity);
    return session_finish(session, result);
}

int32_t engine::ping(efm8_session *session, struct efm8_report *report)
{
    session_begin(session, report);
    const int32_t reply = cmd_identify(session, PING_ID);
    if (reply < 0)
        return session_finish(session, reply);
    if (reply != EFM8_REPLY_ACK && reply != EFM8_REPLY_BAD_ID)
        return session_finish(session, record_failure(session, EFM8_ERR_REFUSED, 0, reply));
    return session_finish(session, EFM8_OK);
}
