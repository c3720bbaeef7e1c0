// Reports and identities go out into the caller's structures, which carry
// the size their caller compiled them with; inside, the engine works on
// whole ones of its own. Each thread keeps the report of its last failure.
#ifndef KESTRANE_SIZED_H
#define KESTRANE_SIZED_H

#include <kestrane/engine.h>

// The first version's sizes, as numbers: a field added later makes the
// structure larger, never these (checked in sized.cpp).
#define EFM8_REPORT_SIZE_V1 232u
#define EFM8_IDENTITY_SIZE_V1 40u

// A whole structure out into the caller's, as far as its size reaches
// (its size field is kept); a size of 0 stands for the first version's. A
// caller's report is read in likewise.
void report_out(const struct efm8_report *whole, struct efm8_report *caller);
void report_in(const struct efm8_report *caller, struct efm8_report *whole);
void identity_out(const struct efm8_identity *whole, struct efm8_identity *caller);

// Keeps the report of a failed call as this thread's last failure.
void keep_failure(const struct efm8_report *report);
// The last failure into the caller's report: EFM8_OK, or EFM8_ERR_NO_DEVICE
// when this thread has had none.
int32_t last_failure(struct efm8_report *caller);
// A call that failed before it reached a board: its report (no reply,
// nothing read back, words in its transport_error) kept as the last failure
// and given to the caller's report when there is one. Returns result.
int32_t open_failed(int32_t result, enum efm8_interface interface, int os_error, const char *text,
                    struct efm8_report *caller);

#endif
