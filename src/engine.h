// The bootloader link's engine, for front ends beyond the window: every
// attached EFM8 USB bootloader (UB1, UB2, UB3), chosen by path, programmed
// with options, verified by CRC and started. Plain functions with integer
// results; a flash allocates nothing. Each board is driven through its own
// session, and sessions of different boards may run on different threads at
// once.
#ifndef KESTRANE_ENGINE_H
#define KESTRANE_ENGINE_H

#include <stddef.h>
#include <stdint.h>

// Results. -1 to -4 mean what they mean for efm8_program.
enum {
    EFM8_OK = 0,
    EFM8_ERR_NO_DEVICE = -1,  // no bootloader attached, or none at the path given
    EFM8_ERR_SIZE = -2,       // the image is empty or larger than the part takes
    EFM8_ERR_TRANSFER = -3,   // a USB transfer failed; nothing was sent after it
    EFM8_ERR_REFUSED = -4,    // the bootloader refused a command; nothing was sent after it
    EFM8_ERR_MISMATCH = -5,   // the chip's flash does not match the image
    EFM8_ERR_SEVERAL = -6,    // several bootloaders are attached and none was chosen
    EFM8_ERR_ACCESS = -7,     // the bootloader is there but this user may not open it
    EFM8_ERR_OPEN = -8,       // the bootloader is there but could not be opened
    EFM8_ERR_OPTIONS = -9,    // a write size outside 1 to 128
};

#define EFM8_PATH_MAX 256
#define EFM8_PAGE_SIZE 512
#define EFM8_MAX_PAGES 128          // the 64 KB a 16-bit address reaches
#define EFM8_UB1_PRODUCT_ID 0xEAC9
#define EFM8_UB1_APP_SIZE 14848     // 0x0000-0x39FF of a 16 KB EFM8UB1
#define EFM8_ADDRESS_SPACE 0x10000  // the bound for parts whose area is not known
#define EFM8_WRITE_DEFAULT 32
#define EFM8_WRITE_MAX 128

// The bootloader commands, as a report names them.
enum {
    EFM8_CMD_IDENTIFY = 0x30,
    EFM8_CMD_SETUP = 0x31,
    EFM8_CMD_ERASE = 0x32,
    EFM8_CMD_WRITE = 0x33,
    EFM8_CMD_VERIFY = 0x34,
    EFM8_CMD_RUNAPP = 0x36,
};

struct efm8_device {
    char path[EFM8_PATH_MAX];  // the USB path: the only thing that tells two boards apart
    uint16_t vendor_id;
    uint16_t product_id;
    const char *family;  // "EFM8UB1", "EFM8UB2" or "EFM8UB3"
};

// Fills up to max entries, sorted by path, and returns how many bootloaders
// are attached (which may be more than max). A failed enumeration counts as
// none.
int32_t efm8_list(struct efm8_device *devices, int32_t max);

typedef struct efm8_session efm8_session;

// Opens the bootloader at path, or with path NULL the only one attached.
// Returns EFM8_OK and a session, or EFM8_ERR_NO_DEVICE, EFM8_ERR_SEVERAL,
// EFM8_ERR_ACCESS or EFM8_ERR_OPEN and no session.
int32_t efm8_open(const char *path, efm8_session **session);
void efm8_close(efm8_session *session);
const struct efm8_device *efm8_session_device(const efm8_session *session);

enum efm8_phase {
    EFM8_PHASE_COMPARE,  // delta: asking the chip which pages already hold the image
    EFM8_PHASE_WRITE,
    EFM8_PHASE_VERIFY,
};

// done never decreases within one call, and the last call has done == total,
// the image's length.
typedef void (*efm8_progress)(void *user, enum efm8_phase phase, uint32_t done, uint32_t total);

struct efm8_options {
    // One CRC check of every page the image spans once everything is
    // written; a mismatch is EFM8_ERR_MISMATCH and the application is not
    // started.
    int verify;
    // Pages whose chip content already equals the image (its bytes, then
    // 0xFF to the end of its last page) are neither erased nor written. The
    // bootloader compares only by CRC-16 over a range, so each 256-byte half
    // page is checked on its own: a change within one half passes as
    // unchanged with a chance of about 2^-16, unless it is at most 16
    // consecutive bits or an odd number of bits, which CRC-16 always
    // catches. That is why it is never the default. Reflashing an unchanged
    // image costs about one command per half page.
    int delta;
    // Page 0 is erased first and its first chunk written last, so a load cut
    // off anywhere leaves byte 0 at 0xFF and the chip in its bootloader. With
    // delta, page 0 is rewritten whenever any page is.
    int safe_order;
    int skip_blank;       // chunks that are all 0xFF are not written after an erase
    int run;              // start the application after a successful flash
    uint32_t write_size;  // data bytes per command, 1 to 128
    efm8_progress progress;  // may be NULL
    void *progress_user;
};

// Verify, safe order, blank skip, 32-byte writes and run; no delta.
void efm8_default_options(struct efm8_options *options);

// What one call did and, when it failed, where.
struct efm8_report {
    int32_t result;
    uint8_t command;        // the command that failed or was refused, 0 if none
    uint32_t address;       // its address
    int32_t reply;          // the bootloader's reply to it, -1 if none came
    int32_t os_error;       // errno after a failed transfer, 0 if unknown
    char usb_error[128];    // hidapi's own text for a failed transfer
    uint32_t commands;      // commands sent
    uint32_t bytes_written; // data bytes carried by erases and writes
    uint32_t pages_skipped; // pages delta found already holding the image
    uint32_t pages_differ;  // pages verify found not holding it
    uint8_t differ[EFM8_MAX_PAGES / 8];  // which, one bit per page, page 0 in bit 0 of byte 0
};

// Erases and writes the pages the image spans (count bytes from address 0)
// as the options say. On success the flash over those pages holds the image
// followed by 0xFF, exactly as efm8_program leaves it. options NULL means
// the defaults; report may be NULL.
int32_t efm8_flash(efm8_session *session, const uint8_t *image, uint32_t count,
                   const struct efm8_options *options, struct efm8_report *report);

// Compares the image (with 0xFF to the end of its last page) with the chip
// by CRC, each half page on its own, writing nothing: EFM8_OK, or
// EFM8_ERR_MISMATCH with the pages that differ in the report.
int32_t efm8_verify(efm8_session *session, const uint8_t *image, uint32_t count,
                    struct efm8_report *report);

// Starts the application; the board leaves its bootloader.
int32_t efm8_run(efm8_session *session, struct efm8_report *report);

// Names the EFM8UB1 derivative by probing the documented ids, e.g.
// "EFM8UB10F16G-QFN28"; "unknown" for any other part.
int32_t efm8_identify(efm8_session *session, const char **name, struct efm8_report *report);

int efm8_page_differs(const struct efm8_report *report, uint32_t page);

// A short text for a result code.
const char *efm8_strerror(int32_t result);

// One line on what went wrong, e.g. "the bootloader refused the write at
// 0x3A00 with 'A' (address out of range)". Returns the length it needed.
int32_t efm8_describe(const struct efm8_report *report, char *text, size_t size);

#endif
