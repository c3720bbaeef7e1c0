// The one table of results: each code's name, exit status and text.
#include "engine/calls.h"

#include <kestrane/result.h>

#include <stddef.h>
#include <sysexits.h>

struct result_row {
    int32_t result;
    const char *name;
    int exit_status;
    const char *text;
};

static const int EXIT_MISMATCH = 1;  // a flash that does not match is not a usage or system error
static const int EXIT_CANCELLED = 130;  // as a shell reports a command stopped by Ctrl-C

// Each name is the result's own: a program tells results apart by name as
// well as by code.
static const struct result_row RESULTS[] = {
    {EFM8_OK, "ok", 0, "done"},
    {EFM8_ERR_NO_DEVICE, "no-device", EX_UNAVAILABLE, "no EFM8 bootloader is attached"},
    {EFM8_ERR_SIZE, "image-size", EX_DATAERR, "the image is empty or larger than the part's application area"},
    {EFM8_ERR_TRANSFER, "transfer-failed", EX_IOERR, "a transfer to the bootloader failed"},
    {EFM8_ERR_REFUSED, "refused", EX_PROTOCOL, "the bootloader refused a command"},
    {EFM8_ERR_MISMATCH, "mismatch", EXIT_MISMATCH, "the chip's flash does not match the image"},
    {EFM8_ERR_SEVERAL, "several-boards", EX_USAGE, "several EFM8 bootloaders are attached and none was chosen"},
    {EFM8_ERR_ACCESS, "no-permission", EX_NOPERM, "no permission to open the bootloader"},
    // An open that fails otherwise is an input/output error, as a failed transfer is.
    {EFM8_ERR_OPEN, "open-failed", EX_IOERR, "the bootloader could not be opened"},
    {EFM8_ERR_OPTIONS, "options", EX_USAGE, "options that cannot be used"},
    {EFM8_ERR_BUSY, "busy", EX_TEMPFAIL, "another program is using the port"},
    {EFM8_ERR_WRONG_PART, "wrong-part", EX_DATAERR, "the board is not one of the parts the image is for"},
    {EFM8_ERR_BAD_IMAGE, "bad-image", EX_DATAERR, "the file is not a usable firmware image"},
    {EFM8_ERR_UNREADABLE, "unreadable", EX_NOINPUT, "the file could not be read"},
    {EFM8_ERR_NOT_PORT, "not-a-port", EX_UNAVAILABLE, "not a serial port"},
    {EFM8_ERR_NO_LINE, "no-line", EX_UNAVAILABLE, "a reset, boot or trigger line that cannot be driven"},
    {EFM8_ERR_LINE_BUSY, "line-busy", EX_TEMPFAIL, "another program is using the line"},
    {EFM8_ERR_LINE_ACCESS, "line-no-permission", EX_NOPERM, "no permission to use the line"},
    {EFM8_ERR_ARGUMENT, "argument", EX_USAGE, "an argument the library does not take"},
    {EFM8_ERR_MEMORY, "memory", EX_OSERR, "out of memory"},
    {EFM8_ERR_SESSION_BUSY, "session-busy", EX_TEMPFAIL, "the session is already in a call"},
    {EFM8_ERR_CANCELLED, "cancelled", EXIT_CANCELLED, "cancelled by its progress callback"},
    {EFM8_ERR_NOT_RECORDED, "not-recorded", EX_CANTCREAT, "the station record could not be written"},
    {EFM8_ERR_NO_SERIAL_NUMBER, "no-serial-number", EX_CONFIG, "no serial number is left to give"},
};

static const struct result_row *row_of(int32_t result)
{
    for (size_t i = 0; i < sizeof RESULTS / sizeof RESULTS[0]; ++i)
        if (RESULTS[i].result == result)
            return &RESULTS[i];
    return NULL;
}

const char *engine::result_name(int32_t result)
{
    const struct result_row *row = row_of(result);
    return row != NULL ? row->name : "unknown";
}

int engine::result_exit_status(int32_t result)
{
    const struct result_row *row = row_of(result);
    return row != NULL ? row->exit_status : EX_SOFTWARE;
}

const char *engine::result_text(int32_t result)
{
    const struct result_row *row = row_of(result);
    return row != NULL ? row->text : "unknown error";
}
