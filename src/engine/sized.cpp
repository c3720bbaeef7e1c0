// Reports and identities out, and each thread's last failure.
#include "engine/sized.h"

#include <stddef.h>
#include <stdio.h>
#include <string.h>

#if UINTPTR_MAX == UINT64_MAX
static_assert(sizeof(struct efm8_report) >= EFM8_REPORT_SIZE_V1 &&
                  offsetof(struct efm8_report, signature_value) == EFM8_REPORT_SIZE_V1 - 8,
              "the first version's report ends with signature_value, padded to 232 bytes");
static_assert(sizeof(struct efm8_identity) >= EFM8_IDENTITY_SIZE_V1 &&
                  offsetof(struct efm8_identity, version) == EFM8_IDENTITY_SIZE_V1 - 8,
              "the first version's identity ends with version, padded to 40 bytes");
#else
#error "the first version's sizes are pinned for 64-bit hosts (amd64, arm64) only"
#endif

// The size a caller meant: every caller's structure holds at least the
// first version's fields, so anything less (0 included) stands for those.
static size_t meant(uint32_t size, size_t first)
{
    return size < first ? first : size;
}

static void copy_out(const void *whole, size_t whole_size, void *caller, size_t size)
{
    // The size field stays as the caller set it.
    const size_t field = sizeof(uint32_t);
    const size_t count = size < whole_size ? size : whole_size;
    if (count > field)
        memcpy((unsigned char *)caller + field, (const unsigned char *)whole + field, count - field);
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
static thread_local struct efm8_report kept_failure;
static thread_local bool failed;

void keep_failure(const struct efm8_report *report)
{
    kept_failure = *report;
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

int32_t last_failure(struct efm8_report *report)
{
    if (!failed)
        return EFM8_ERR_NO_DEVICE;
    report_out(&kept_failure, report);
    return EFM8_OK;
}
