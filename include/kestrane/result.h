/* What every call of the library returns: 0 for success, a negative code
 * for each way it can fail. One table gives each code a name (as JSON and
 * the Python package spell it), the exit status kestrane-cli ends with
 * (sysexits.h) and a short text. */
#ifndef KESTRANE_RESULT_H
#define KESTRANE_RESULT_H

#include <kestrane/version.h>

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    EFM8_OK = 0,
    EFM8_ERR_NO_DEVICE = -1,  /* no bootloader attached, none at the path given, or no such port */
    EFM8_ERR_SIZE = -2,       /* the image is empty or larger than the part takes; nothing was erased */
    EFM8_ERR_TRANSFER = -3,   /* a transfer failed or no reply came in time; nothing was sent after it */
    EFM8_ERR_REFUSED = -4,    /* the bootloader refused a command; nothing was sent after it */
    EFM8_ERR_MISMATCH = -5,   /* the chip's flash does not match the image */
    EFM8_ERR_SEVERAL = -6,    /* several bootloaders are attached and none was chosen */
    EFM8_ERR_ACCESS = -7,     /* the bootloader or port is there but this user may not open it */
    EFM8_ERR_OPEN = -8,       /* the bootloader or port is there but could not be opened */
    EFM8_ERR_OPTIONS = -9,    /* a write size outside 1 to 128, a baud rate the port cannot take, a lock without verify */
    EFM8_ERR_BUSY = -10,      /* another program has the port open */
    EFM8_ERR_WRONG_PART = -11, /* the board answers none of the ids it was asked for */
    EFM8_ERR_BAD_IMAGE = -12,  /* a firmware file that is not a usable image: named by line or offset */
    EFM8_ERR_UNREADABLE = -13, /* a firmware file that could not be opened or read */
    EFM8_ERR_NOT_PORT = -14,   /* the path is not a serial port: a file, a folder, another kind of device */
    EFM8_ERR_NO_LINE = -15,    /* a reset, boot or trigger line that cannot be driven or read: the adapter lacks it, or no such GPIO chip or line */
    EFM8_ERR_LINE_BUSY = -16,  /* another program holds the GPIO line */
    EFM8_ERR_LINE_ACCESS = -17, /* no permission to open the GPIO chip */

    /* The production line's own results (kestrane-cli's flash and watch);
     * the engine never returns them. */
    EFM8_ERR_NOT_RECORDED = -100,    /* the station record that was asked for could not be written */
    EFM8_ERR_NO_SERIAL_NUMBER = -101 /* no serial number to give: its counter is missing, used up or given other bounds */
};

/* "ok", "no-device", "transfer-failed", ...; "unknown" for a code the
 * table does not hold. */
KESTRANE_API const char *efm8_result_name(int32_t result);

/* The exit status a command line ends with for the result: 0, 1 for a
 * mismatch, else one of sysexits.h. */
KESTRANE_API int efm8_result_exit_status(int32_t result);

/* A short text for the result: what failed, not what to do. */
KESTRANE_API const char *efm8_strerror(int32_t result);

#ifdef __cplusplus
}
#endif

#endif
