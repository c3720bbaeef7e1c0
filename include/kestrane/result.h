/**
 * @file kestrane/result.h
 * @brief What the library's calls return.
 *
 * 0 for success, a negative code of its own for each way a call can fail.
 * One table gives each code a name of its own (as JSON and the Python
 * package spell it), the exit status kestrane-cli ends with (sysexits.h)
 * and a short text. Calls that return something else (a count, a pointer, a
 * byte) say so, and why, in their own comment.
 */
#ifndef KESTRANE_RESULT_H
#define KESTRANE_RESULT_H

#include <kestrane/version.h>

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/** The results; each name is its efm8_result_name(). */
enum {
    EFM8_OK = 0,               /**< "ok": done */
    EFM8_ERR_NO_DEVICE = -1,   /**< "no-device": no bootloader attached, none at the path given, or no such port */
    EFM8_ERR_SIZE = -2,        /**< "image-size": the image is empty or larger than the part takes; nothing was erased */
    EFM8_ERR_TRANSFER = -3,    /**< "transfer-failed": a transfer failed or no reply came in time; nothing was sent after it */
    EFM8_ERR_REFUSED = -4,     /**< "refused": the bootloader refused a command; nothing was sent after it */
    EFM8_ERR_MISMATCH = -5,    /**< "mismatch": the chip's flash does not match the image */
    EFM8_ERR_SEVERAL = -6,     /**< "several-boards": several bootloaders are attached and none was chosen */
    EFM8_ERR_ACCESS = -7,      /**< "no-permission": the bootloader or port is there but this user may not open it */
    EFM8_ERR_OPEN = -8,        /**< "open-failed": the bootloader or port is there but could not be opened */
    EFM8_ERR_OPTIONS = -9,     /**< "options": options that cannot be used (a write size outside 1 to 128, a baud rate
                                    the port cannot take, a lock without verify, a structure whose size was never set) */
    EFM8_ERR_BUSY = -10,       /**< "busy": another program has the port open */
    EFM8_ERR_WRONG_PART = -11, /**< "wrong-part": the board answers none of the ids it was asked for */
    EFM8_ERR_BAD_IMAGE = -12,  /**< "bad-image": a firmware file that is not a usable image, named by line or offset */
    EFM8_ERR_UNREADABLE = -13, /**< "unreadable": a firmware file that could not be opened or read */
    EFM8_ERR_NOT_PORT = -14,   /**< "not-a-port": the path is not a serial port: a file, a folder, another device */
    EFM8_ERR_NO_LINE = -15,    /**< "no-line": a reset, boot or trigger line that cannot be driven or read */
    EFM8_ERR_LINE_BUSY = -16,  /**< "line-busy": another program holds the GPIO line */
    EFM8_ERR_LINE_ACCESS = -17, /**< "line-no-permission": no permission to open the GPIO chip */
    EFM8_ERR_ARGUMENT = -18,   /**< "argument": a pointer the header does not allow to be NULL was NULL, or a count out
                                    of range; nothing was done (@since 1.1) */
    EFM8_ERR_MEMORY = -19,     /**< "memory": the system could not give the memory, or another resource such as a
                                    thread, that the call needed; nothing was sent (@since 1.1) */
    EFM8_ERR_SESSION_BUSY = -20, /**< "session-busy": the session is already in a call, from another thread or from a
                                      callback of its own; nothing was sent and that call goes on unharmed (@since 1.1) */
    EFM8_ERR_CANCELLED = -21,  /**< "cancelled": the progress callback asked to stop (@since 1.1) */

    /* The production line's own results (kestrane-cli's flash and watch);
     * the library never returns them. */
    EFM8_ERR_NOT_RECORDED = -100,    /**< "not-recorded": the station record that was asked for could not be written */
    EFM8_ERR_NO_SERIAL_NUMBER = -101 /**< "no-serial-number": its counter is missing, used up or given other bounds */
};

/**
 * The result's name: "ok", "no-device", "transfer-failed", ...
 * @return a string owned by the library; "unknown" for a code the table
 * does not hold. Never fails.
 * @since 1.0
 */
KESTRANE_API const char *efm8_result_name(int32_t result);

/**
 * The exit status a command line ends with for the result.
 * @return 0, 1 for a mismatch, 130 for a cancelled call, else one of
 * sysexits.h (EX_SOFTWARE for a code the table does not hold). Never fails.
 * @since 1.0
 */
KESTRANE_API int efm8_result_exit_status(int32_t result);

/**
 * A short text for the result: what failed, not what to do.
 * @return a string owned by the library; "unknown error" for a code the
 * table does not hold. Never fails.
 * @since 1.0
 */
KESTRANE_API const char *efm8_strerror(int32_t result);

#ifdef __cplusplus
}
#endif

#endif
