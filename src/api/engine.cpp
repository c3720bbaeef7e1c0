// The exported calls of kestrane/engine.h: each checks its pointers, holds
// its session for itself alone, reads sized structures in by their size,
// and lets no exception out; the engine does the rest.
#include <kestrane/engine.h>

#include "api/guard.h"
#include "api/sized.h"
#include "engine/calls.h"

#include <string>

// A listing into the caller's array: NULL only to count.
template <typename Entry, typename List>
static int32_t listed(const char *call, Entry *entries, int32_t max, List list)
{
    if (max < 0)
        return api::refuse_argument(call, "max is below 0", nullptr);
    if (entries == nullptr && max > 0)
        return api::refuse_argument(call, "the array is NULL with a max above 0", nullptr);
    return api::guarded(call, nullptr, [&] { return list(entries, max); });
}

int32_t efm8_list(struct efm8_device *devices, int32_t max)
{
    return listed("efm8_list", devices, max, engine::list_usb);
}

int32_t efm8_list_ports(struct efm8_port *ports, int32_t max)
{
    return listed("efm8_list_ports", ports, max, engine::list_ports);
}

int32_t efm8_open(const char *path, efm8_session **session)
{
    if (session == nullptr)
        return api::refuse_argument("efm8_open", "session is NULL", nullptr);
    *session = nullptr;
    return api::guarded("efm8_open", nullptr, [&] { return engine::open_usb(path, session); });
}

int32_t efm8_open_port(const char *port, const struct efm8_port_settings *settings, efm8_session **session)
{
    return efm8_open_port_entry(port, settings, nullptr, session, nullptr);
}

int32_t efm8_check_port(const char *port)
{
    if (port == nullptr)
        return api::refuse_argument("efm8_check_port", "port is NULL", nullptr);
    return engine::check_port(port);
}

void efm8_release_ports(void)
{
    engine::release_ports();
}

void efm8_close(efm8_session *session)
{
    if (session == nullptr)
        return;
    // Taken for good: no call can start on a session being freed.
    const char *busy_with = nullptr;
    if (!session->call.compare_exchange_strong(busy_with, "efm8_close")) {
        api::refuse_busy("efm8_close", session, busy_with, nullptr);
        return;
    }
    engine::close(session);
}

const struct efm8_device *efm8_session_device(const efm8_session *session)
{
    return session != nullptr ? &session->device : nullptr;
}

void efm8_init_options(struct efm8_options *options, size_t size)
{
    if (options != nullptr)
        api::init_options(options, size);
}

// An image of count bytes: NULL only when there are none.
static bool image_given(const uint8_t *image, uint32_t count)
{
    return image != nullptr || count == 0;
}

int32_t efm8_flash(efm8_session *session, const uint8_t *image, uint32_t count, const struct efm8_options *options,
                   struct efm8_report *report)
{
    if (!image_given(image, count))
        return api::refuse_argument("efm8_flash", "image is NULL", report);
    return api::on_session("efm8_flash", session, report, [&] {
        struct efm8_options whole;
        std::string why;
        if (api::options_in(options, whole, why) != EFM8_OK)
            return api::refuse_options("efm8_flash", session->device.interface, why, report);
        return engine::flash(session, image, count, whole, report);
    });
}

int32_t efm8_verify(efm8_session *session, const uint8_t *image, uint32_t count, struct efm8_report *report)
{
    if (!image_given(image, count))
        return api::refuse_argument("efm8_verify", "image is NULL", report);
    return api::on_session("efm8_verify", session, report,
                           [&] { return engine::verify(session, image, count, report); });
}

int32_t efm8_run(efm8_session *session, struct efm8_report *report)
{
    return api::on_session("efm8_run", session, report, [&] { return engine::run(session, report); });
}

int32_t efm8_ping(efm8_session *session, struct efm8_report *report)
{
    return api::on_session("efm8_ping", session, report, [&] { return engine::ping(session, report); });
}

int32_t efm8_identify(efm8_session *session, struct efm8_identity *identity, struct efm8_report *report)
{
    if (identity == nullptr)
        return api::refuse_argument("efm8_identify", "identity is NULL", report);
    return api::on_session("efm8_identify", session, report,
                           [&] { return engine::identify(session, identity, report); });
}

int32_t efm8_lock(efm8_session *session, uint8_t signature, uint8_t lock, struct efm8_report *report)
{
    return api::on_session("efm8_lock", session, report,
                           [&] { return engine::lock(session, signature, lock, report); });
}

uint8_t efm8_lock_byte_for(uint32_t pages)
{
    return (uint8_t)~(pages < EFM8_LOCK_PAGES_MAX ? pages : EFM8_LOCK_PAGES_MAX);
}

int32_t efm8_check_ids(efm8_session *session, const uint16_t *ids, size_t count, struct efm8_report *report)
{
    if (ids == nullptr && count > 0)
        return api::refuse_argument("efm8_check_ids", "ids is NULL", report);
    return api::on_session("efm8_check_ids", session, report,
                           [&] { return engine::check_ids(session, ids, count, report); });
}

int efm8_page_differs(const struct efm8_report *report, uint32_t page)
{
    return report != nullptr && page < EFM8_MAX_PAGES && (report->differ[page / 8] >> (page % 8) & 1);
}

int32_t efm8_describe(const struct efm8_report *report, char *text, size_t size)
{
    if (report == nullptr)
        return api::refuse_argument("efm8_describe", "report is NULL", nullptr);
    if (text == nullptr && size > 0)
        return api::refuse_argument("efm8_describe", "text is NULL with a size above 0", nullptr);
    struct efm8_report whole;
    report_in(report, &whole);
    return engine::describe(whole, text, size);
}

const char *efm8_command_name(uint8_t command)
{
    return engine::command_name(command);
}

int32_t efm8_last_failure(struct efm8_report *report)
{
    if (report == nullptr)
        return api::refuse_argument("efm8_last_failure", "report is NULL", nullptr);
    return last_failure(report);
}
