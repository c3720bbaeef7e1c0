// Structures that cross the library's boundary carry the size their caller
// compiled them with; inside, the engine works on whole ones of its own.
#ifndef KESTRANE_SIZED_H
#define KESTRANE_SIZED_H

#include <kestrane/engine.h>
#include <kestrane/entry.h>

// Each structure's size in the library's first version. When a field is
// added at the end, these stay, as offsetof the first new field.
#define EFM8_OPTIONS_SIZE_V1 sizeof(struct efm8_options)
#define EFM8_PORT_SETTINGS_SIZE_V1 sizeof(struct efm8_port_settings)
#define EFM8_REPORT_SIZE_V1 sizeof(struct efm8_report)
#define EFM8_IDENTITY_SIZE_V1 sizeof(struct efm8_identity)
#define EFM8_ENTRY_SIZE_V1 sizeof(struct efm8_entry)

// What the caller gave, over the defaults, into a whole structure:
// EFM8_OK, or EFM8_ERR_OPTIONS for a structure larger than the library's.
int32_t options_in(const struct efm8_options *given, struct efm8_options *whole);
int32_t port_settings_in(const struct efm8_port_settings *given, struct efm8_port_settings *whole);
int32_t entry_in(const struct efm8_entry *given, struct efm8_entry *whole);

// A whole structure out into the caller's, as far as its size reaches
// (its size field is kept). A caller's report is read in likewise.
void report_out(const struct efm8_report *whole, struct efm8_report *caller);
void report_in(const struct efm8_report *caller, struct efm8_report *whole);
void identity_out(const struct efm8_identity *whole, struct efm8_identity *caller);

// Keeps the report of a failed call as this thread's last failure.
void keep_failure(const struct efm8_report *report);
// A board that could not be opened: its report (no reply, nothing read
// back) kept as the last failure and given to the caller's report when
// there is one. Returns result.
int32_t open_failed(int32_t result, enum efm8_interface interface, int os_error, const char *text,
                    struct efm8_report *caller);

#endif
