// Sized structures in and out, and each thread's last failure.
#include "engine/sized.h"

#include <stdio.h>
#include <string.h>

// The size a caller meant: every caller's structure holds at least the
// first version's fields, so anything less (0 included) stands for those.
static size_t meant(uint32_t size, size_t first)
{
    return size < first ? first : size;
}

// A larger structure than the library's own comes from a newer program,
// whose options this library does not know: refused, its tail unread. One
// smaller than the first version's (but not 0) is no structure of its.
static int32_t copy_in(const void *given, uint32_t given_size, size_t first, void *whole, size_t whole_size)
{
    const size_t size = given_size == 0 ? first : given_size;
    if (size < first || size > whole_size)
        return EFM8_ERR_OPTIONS;
    memcpy(whole, given, size);
    return EFM8_OK;
}

static void copy_out(const void *whole, size_t whole_size, void *caller, size_t size)
{
    // The size field stays as the caller set it.
    const size_t field = sizeof(uint32_t);
    const size_t count = size < whole_size ? size : whole_size;
    if (count > field)
        memcpy((unsigned char *)caller + field, (const unsigned char *)whole + field, count - field);
}

void efm8_init_options(struct efm8_options *options, size_t size)
{
    memset(options, 0, size);
    if (size < EFM8_OPTIONS_SIZE_V1)
        return;
    options->size = (uint32_t)size;
    options->verify = 1;
    options->safe_order = 1;
    options->skip_blank = 1;
    options->run = 1;
}

void efm8_init_port_settings(struct efm8_port_settings *settings, size_t size)
{
    memset(settings, 0, size);
    if (size < EFM8_PORT_SETTINGS_SIZE_V1)
        return;
    settings->size = (uint32_t)size;
    settings->baud = EFM8_BAUD_DEFAULT;
    settings->timeout_ms = EFM8_TIMEOUT_DEFAULT_MS;
}

void efm8_init_entry(struct efm8_entry *entry, size_t size)
{
    memset(entry, 0, size);
    if (size < EFM8_ENTRY_SIZE_V1)
        return;
    entry->size = (uint32_t)size;
    entry->command_wait_ms = EFM8_ENTER_WAIT_DEFAULT_MS;
}

// The given structure over the defaults already in whole.
template <typename Sized>
static int32_t whole_in(const Sized *given, size_t first, Sized *whole)
{
    if (given == NULL)
        return EFM8_OK;
    const int32_t result = copy_in(given, given->size, first, whole, sizeof *whole);
    whole->size = sizeof *whole;
    return result;
}

int32_t options_in(const struct efm8_options *given, struct efm8_options *whole)
{
    efm8_default_options(whole);
    return whole_in(given, EFM8_OPTIONS_SIZE_V1, whole);
}

int32_t port_settings_in(const struct efm8_port_settings *given, struct efm8_port_settings *whole)
{
    efm8_default_port_settings(whole);
    return whole_in(given, EFM8_PORT_SETTINGS_SIZE_V1, whole);
}

int32_t entry_in(const struct efm8_entry *given, struct efm8_entry *whole)
{
    efm8_default_entry(whole);
    return whole_in(given, EFM8_ENTRY_SIZE_V1, whole);
}

void report_out(const struct efm8_report *whole, struct efm8_report *caller)
{
    if (caller != NULL && caller != whole)
        copy_out(whole, sizeof *whole, caller, meant(caller->size, EFM8_REPORT_SIZE_V1));
}

void report_in(const struct efm8_report *caller, struct efm8_report *whole)
{
    memset(whole, 0, sizeof *whole);
    const size_t size = meant(caller->size, EFM8_REPORT_SIZE_V1);
    memcpy(whole, caller, size < sizeof *whole ? size : sizeof *whole);
    whole->size = sizeof *whole;
}

void identity_out(const struct efm8_identity *whole, struct efm8_identity *caller)
{
    copy_out(whole, sizeof *whole, caller, meant(caller->size, EFM8_IDENTITY_SIZE_V1));
}

// Each thread's own, so that threads driving boards of their own never see
// each other's.
static thread_local struct efm8_report last_failure;
static thread_local bool failed;

void keep_failure(const struct efm8_report *report)
{
    last_failure = *report;
    failed = true;
}

int32_t open_failed(int32_t result, enum efm8_interface interface, int os_error, const char *text,
                    struct efm8_report *caller)
{
    struct efm8_report whole;
    memset(&whole, 0, sizeof whole);
    whole.size = sizeof whole;
    whole.result = result;
    whole.interface = interface;
    whole.reply = whole.lock_value = whole.signature_value = -1;
    whole.os_error = os_error;
    snprintf(whole.transport_error, sizeof whole.transport_error, "%s", text);
    keep_failure(&whole);
    if (caller != NULL)
        report_out(&whole, caller);
    return result;
}

int32_t efm8_last_failure(struct efm8_report *report)
{
    if (!failed)
        return EFM8_ERR_NO_DEVICE;
    report_out(&last_failure, report);
    return EFM8_OK;
}
