// The exported calls of kestrane/entry.h: pointers checked, structures
// read in by their size, over the engine's entry.
#include <kestrane/entry.h>

#include "api/guard.h"
#include "api/sized.h"
#include "engine/calls.h"
#include "transport/lines.h"

#include <string.h>

int32_t efm8_parse_line(const char *text, struct efm8_line *line, char *error, size_t error_size)
{
    if (text == nullptr || line == nullptr)
        return api::refuse_argument("efm8_parse_line", text == nullptr ? "text is NULL" : "line is NULL", nullptr);
    return api::guarded("efm8_parse_line", nullptr,
                        [&] { return engine::parse_line(text, line, error, error_size); });
}

void efm8_line_text(const struct efm8_line *line, char *text, size_t size)
{
    if (text == nullptr || size == 0)
        return;
    if (line == nullptr) {
        snprintf(text, size, "none");
        return;
    }
    line_text(line, text, size);
}

int efm8_same_line(const struct efm8_line *a, const struct efm8_line *b)
{
    if (a == nullptr || b == nullptr)
        return 0;
    int same = 0;
    api::guarded("efm8_same_line", nullptr, [&] {
        same = line_same(a, b) ? 1 : 0;
        return int32_t{EFM8_OK};
    });
    return same;
}

void efm8_init_entry(struct efm8_entry *entry, size_t size)
{
    if (entry != nullptr)
        api::init_entry(entry, size);
}

int efm8_entry_used(const struct efm8_entry *entry)
{
    return entry != nullptr && engine::entry_used(*entry);
}

int32_t efm8_parse_entry_sequence(const char *text, struct efm8_entry *entry, char *error, size_t error_size)
{
    if (text == nullptr || entry == nullptr)
        return api::refuse_argument("efm8_parse_entry_sequence", text == nullptr ? "text is NULL" : "entry is NULL",
                                    nullptr);
    return api::guarded("efm8_parse_entry_sequence", nullptr,
                        [&] { return engine::parse_entry_sequence(text, entry, error, error_size); });
}

size_t efm8_entry_steps(const struct efm8_entry *entry, struct efm8_step *steps, size_t max)
{
    if (entry == nullptr || steps == nullptr)
        return 0;
    return engine::entry_steps(*entry, steps, max);
}

int32_t efm8_open_port_entry(const char *port, const struct efm8_port_settings *settings,
                             const struct efm8_entry *entry, struct efm8_session **session, struct efm8_report *report)
{
    const char *call = "efm8_open_port_entry";
    if (session != nullptr)
        *session = nullptr;
    if (port == nullptr || session == nullptr)
        return api::refuse_argument(call, port == nullptr ? "port is NULL" : "session is NULL", report);
    return api::guarded(call, report, [&] {
        struct efm8_port_settings whole_settings;
        struct efm8_entry whole_entry;
        std::string why;
        int32_t result = api::port_settings_in(settings, whole_settings, why);
        if (result == EFM8_OK)
            result = api::entry_in(entry, whole_entry, why);
        if (result != EFM8_OK)
            return api::refuse_options(call, EFM8_UART, why, report);
        return engine::open_port(port, whole_settings, whole_entry, session, report);
    });
}

int32_t efm8_enter_usb(uint16_t vendor_id, uint16_t product_id, const uint8_t *report, size_t length)
{
    if (report == nullptr || length == 0)
        return api::refuse_argument("efm8_enter_usb", report == nullptr ? "report is NULL" : "length is 0", nullptr);
    return api::guarded("efm8_enter_usb", nullptr,
                        [&] { return engine::enter_usb(vendor_id, product_id, report, length); });
}

int32_t efm8_trigger_open(const struct efm8_line *line, efm8_trigger **trigger, char *error, size_t error_size)
{
    if (trigger != nullptr)
        *trigger = nullptr;
    if (line == nullptr || trigger == nullptr) {
        const char *what = line == nullptr ? "line is NULL" : "trigger is NULL";
        api::tell(error, error_size, std::string("efm8_trigger_open: ") + what);
        return api::refuse_argument("efm8_trigger_open", what, nullptr);
    }
    return api::guarded("efm8_trigger_open", nullptr,
                        [&] { return engine::trigger_open(*line, trigger, error, error_size); });
}

int32_t efm8_trigger_wait(efm8_trigger *trigger, uint32_t timeout_ms)
{
    if (trigger == nullptr)
        return api::refuse_argument("efm8_trigger_wait", "trigger is NULL", nullptr);
    return engine::trigger_wait(trigger, timeout_ms);
}

void efm8_trigger_close(efm8_trigger *trigger)
{
    if (trigger != nullptr)
        engine::trigger_close(trigger);
}
