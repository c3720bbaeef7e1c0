/**
 * @file kestrane/engine.h
 * @brief Boards: listing, opening, identifying, flashing, verifying, locking
 * and starting them.
 *
 * Every EFM8 factory bootloader, over USB HID (EFM8UB1, UB2, UB3, chosen by
 * path) or a serial port (the UART bootloaders), identified from the part
 * table, programmed with options, verified by CRC, locked and started. Each
 * board is driven through a session of its own; see kestrane.h for threads.
 */
#ifndef KESTRANE_ENGINE_H
#define KESTRANE_ENGINE_H

#include <kestrane/board.h>
#include <kestrane/bootloader.h>
#include <kestrane/parts.h>
#include <kestrane/result.h>
#include <kestrane/version.h>

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/**
 * The USB bootloaders attached, sorted by path.
 * @param devices filled with up to max entries; may be NULL only with max 0,
 * to count them.
 * @param max the entries devices has room for, 0 or more.
 * @return how many are attached, which may be more than max (a failed
 * enumeration counts as none), or EFM8_ERR_ARGUMENT for devices NULL with a
 * max above 0 or a max below 0. Never EFM8_ERR_MEMORY: a count is all it
 * gives.
 * @since 1.0
 */
KESTRANE_API int32_t efm8_list(struct efm8_device *devices, int32_t max);

/**
 * This machine's serial ports, sorted by path, as efm8_list gives the USB
 * bootloaders (and with the same NULL rule and results); opens none of them.
 * @since 1.0
 */
KESTRANE_API int32_t efm8_list_ports(struct efm8_port *ports, int32_t max);

/** A board, opened by efm8_open or efm8_open_port and closed by efm8_close. */
typedef struct efm8_session efm8_session;

/**
 * Opens a USB bootloader.
 * @param path a path of efm8_list, or NULL for the only one attached.
 * @param session set to the new session, owned by the caller until
 * efm8_close, or to NULL on failure; may not be NULL.
 * @return EFM8_OK, EFM8_ERR_NO_DEVICE, EFM8_ERR_SEVERAL, EFM8_ERR_ACCESS,
 * EFM8_ERR_OPEN, EFM8_ERR_MEMORY or EFM8_ERR_ARGUMENT; a failure is kept as
 * the thread's last (efm8_last_failure).
 * @since 1.0
 */
KESTRANE_API int32_t efm8_open(const char *path, efm8_session **session);

/**
 * Opens a serial port for itself alone (raw, 8N1, no flow control), drops
 * whatever waits in it and sends the training byte the bootloader measures
 * the baud rate on.
 *
 * Busy means another process holds the port's lock (flock), which the
 * kernel drops when that process ends however it ends; Kestrane and
 * terminal programs such as picocom take it. The tty's exclusive flag
 * (TIOCEXCL), set while a session lasts, keeps out programs that do not
 * lock; one found set with the lock free was left by a process that was
 * killed, and the port is taken. (Only root can open a tty whose flag is
 * set: others are refused as busy until every program has closed it.)
 *
 * @param port the port's path; may not be NULL.
 * @param settings NULL for the defaults.
 * @param session as efm8_open's.
 * @return EFM8_OK, EFM8_ERR_NO_DEVICE, EFM8_ERR_NOT_PORT, EFM8_ERR_ACCESS,
 * EFM8_ERR_BUSY, EFM8_ERR_OPEN, EFM8_ERR_OPTIONS, EFM8_ERR_MEMORY or
 * EFM8_ERR_ARGUMENT; a failure is kept as the thread's last.
 * @since 1.0
 */
KESTRANE_API int32_t efm8_open_port(const char *port, const struct efm8_port_settings *settings, efm8_session **session);

/**
 * Whether the path can be a serial port, decided without talking to it.
 * @param port may not be NULL.
 * @return EFM8_ERR_NOT_PORT for a regular file, a folder or a device that is
 * not a terminal, EFM8_ERR_ARGUMENT for NULL, else EFM8_OK (a missing path
 * too: efm8_open_port says why).
 * @since 1.0
 */
KESTRANE_API int32_t efm8_check_port(const char *port);

/**
 * Clears the exclusive flag of every port this process holds open, for a
 * signal handler about to end the process: async-signal-safe. Ports opened
 * after it are refused (EFM8_ERR_OPEN).
 * @since 1.0
 */
KESTRANE_API void efm8_release_ports(void);

/**
 * Closes the session and frees it; its lines are released (see entry.h).
 * @param session NULL does nothing. A session in a call (from another thread,
 * or from a callback of that call) is left open: the thread's last failure
 * is then EFM8_ERR_SESSION_BUSY, and the session must be closed once the call
 * has returned.
 * @since 1.0
 */
KESTRANE_API void efm8_close(efm8_session *session);

/**
 * The board of the session.
 * @return an entry owned by the session, valid until it is closed; NULL for
 * a NULL session. May be called while the session is in a call.
 * @since 1.0
 */
KESTRANE_API const struct efm8_device *efm8_session_device(const efm8_session *session);

/** Where a flash is. */
enum efm8_phase {
    EFM8_PHASE_COMPARE, /**< delta: asking the chip which pages already hold the image */
    EFM8_PHASE_WRITE,
    EFM8_PHASE_VERIFY,
};

/** Progress of a flash: done never decreases within one call, and the last
 * call of the write phase has done == total, the image's length. Called on
 * the thread that called efm8_flash, between records. */
typedef void (*efm8_progress)(void *user, enum efm8_phase phase, uint32_t done, uint32_t total);

/** Progress as efm8_progress, returning non-zero to cancel the flash: it
 * stops before the next record, with EFM8_ERR_CANCELLED. @since 1.1 */
typedef int (*efm8_progress_cancel)(void *user, enum efm8_phase phase, uint32_t done, uint32_t total);

struct efm8_check;

/** What a flash does; see struct efm8_port_settings for its size. */
struct efm8_options {
    uint32_t size; /**< sizeof(struct efm8_options): efm8_init_options or EFM8_OPTIONS_INIT */
    /** One CRC check of every page the image spans once everything is
     * written; a mismatch is EFM8_ERR_MISMATCH and the application is not
     * started. */
    int verify;
    /** Pages whose chip content already equals the image (its bytes, then
     * 0xFF to the end of its last page) are neither erased nor written. The
     * bootloader compares only by CRC-16 over a range, so each 256-byte
     * block is checked on its own: a change within one block passes as
     * unchanged with a chance of about 2^-16, unless it is at most 16
     * consecutive bits or an odd number of bits, which CRC-16 always
     * catches. That is why it is never the default. Reflashing an unchanged
     * image costs about one command per 256 bytes. */
    int delta;
    /** Page 0 is erased first and its first chunk written last, so a load
     * cut off anywhere leaves byte 0 at 0xFF and the chip in its bootloader.
     * With delta, page 0 is rewritten whenever any page is. */
    int safe_order;
    int skip_blank;          /**< chunks that are all 0xFF are not written after an erase */
    int run;                 /**< start the application after a successful flash */
    uint32_t write_size;     /**< data bytes per command, 1 to 128; 0: the transport's default */
    efm8_progress progress;  /**< may be NULL; not called when progress_cancel is set */
    void *progress_user;     /**< handed to progress and progress_cancel */
    /** More CRC checks once the image is verified, each over a range of its
     * own (a boot-record file's verify records); check_count of them. */
    const struct efm8_check *checks;
    size_t check_count; /**< how many checks there are */
    /** Called once the part is known and the image found to fit it, before
     * anything is erased (part or family NULL where not known). May be NULL. */
    void (*identified)(void *user, const struct efm8_part *part, const struct efm8_family *family);
    void *identified_user; /**< handed to identified */
    /** Programs the lock and signature bytes (see efm8_lock) once the image
     * is verified, never otherwise: lock without verify is EFM8_ERR_OPTIONS. */
    int lock;
    uint8_t lock_signature; /**< the signature byte the lock command sends; 0xFF leaves it */
    uint8_t lock_byte;      /**< the lock byte the lock command sends; 0xFF leaves it */
    /* The first version's fields end here. */
    /** Called as progress is, and returning non-zero cancels; may be NULL.
     * @since 1.1 */
    efm8_progress_cancel progress_cancel;
    /** A lock whose signature byte disables the bootloader (see efm8_lock)
     * is refused with EFM8_ERR_OPTIONS unless this is set: the chip could
     * then never be reached again but through a debugger. @since 1.1 */
    int allow_disable_bootloader;
};

/** A CRC check of a range of flash. */
struct efm8_check {
    uint16_t start; /**< the first address checked */
    uint16_t end;   /**< the last, inclusive */
    uint16_t crc;   /**< the CRC-16 (XModem) the range must have */
};

/** The default options as an initializer: verify, safe order, blank skip,
 * the transport's write size and run; no delta, no lock, no callbacks.
 * `struct efm8_options options = EFM8_OPTIONS_INIT;` @since 1.1 */
#define EFM8_OPTIONS_INIT \
    {sizeof(struct efm8_options), 1, 0, 1, 1, 1, 0, NULL, NULL, NULL, 0, NULL, NULL, 0, 0, 0, NULL, 0}

/**
 * Sets the options of EFM8_OPTIONS_INIT and the size.
 * @param options the caller's structure; nothing is done when NULL.
 * @param size the size of the caller's structure, as efm8_default_options
 * passes it.
 * @since 1.0
 */
KESTRANE_API void efm8_init_options(struct efm8_options *options, size_t size);

/** efm8_init_options with the size the program was built with. @since 1.0 */
static inline void efm8_default_options(struct efm8_options *options)
{
    efm8_init_options(options, sizeof *options);
}

/** What one call did and, when it failed, where. The caller sets size (0
 * stands for the first version's) before handing it in. */
struct efm8_report {
    uint32_t size; /**< sizeof(struct efm8_report), or 0 */
    int32_t result;                /**< what the call returned */
    enum efm8_interface interface; /**< the board's, where there is one */
    uint8_t command;  /**< the command that failed or was refused, 0 if none */
    uint32_t address; /**< its address */
    int32_t reply;    /**< the bootloader's reply to it, -1 if none came */
    int32_t os_error; /**< errno after a failed transfer or open, 0 if unknown */
    /** The transport's own words (hidapi's text, or what the port did); for
     * EFM8_ERR_OPTIONS, EFM8_ERR_ARGUMENT and EFM8_ERR_SESSION_BUSY, what was
     * refused. */
    char transport_error[128];
    /** The board's part, or only its family, as far as identify found them;
     * entries of the part table. */
    const struct efm8_part *part;
    const struct efm8_family *family; /**< the board's family, where known */
    uint32_t limit;          /**< EFM8_ERR_SIZE: the application limit; 0 when the bootloader refused the image's last address */
    uint32_t commands;       /**< commands sent */
    uint32_t bytes_written;  /**< data bytes carried by erases and writes */
    uint32_t page_size;      /**< the board's pages, in bytes */
    uint32_t pages_skipped;  /**< pages delta found already holding the image */
    uint32_t pages_differ;   /**< pages verify found not holding it */
    uint8_t differ[EFM8_MAX_PAGES / 8]; /**< which, one bit per page, page 0 in bit 0 of byte 0 */
    int locked;              /**< the lock command was sent and accepted */
    int32_t lock_value;      /**< the lock byte as read back after locking, -1 if it could not be */
    int32_t signature_value; /**< the signature byte likewise */
};

/**
 * Erases and writes the pages the image spans (count bytes from address 0)
 * as the options say. Before the first erase the image is known to fit the
 * part: by the part table once identify has named the part, and otherwise,
 * or where the table's limit is inferred, by asking the bootloader to
 * program 0xFF (which changes nothing) at the image's last address. On
 * success the flash over those pages holds the image followed by 0xFF.
 *
 * Cancelled by progress_cancel, the flash stops before its next record; with
 * the safe order the board is then left in its bootloader with byte 0
 * erased (page 0 is erased again when its first chunk was already written),
 * never started with half an image, or, cancelled before anything was
 * erased, as it was. Without it, a cancelled flash may leave half an image
 * that starts.
 *
 * @param session may not be NULL.
 * @param image count bytes, read during the call only; may be NULL only
 * when count is 0 (EFM8_ERR_SIZE).
 * @param count the image's length, 1 to the part's application area.
 * @param options NULL for the defaults.
 * @param report NULL, or filled in whatever the result.
 * @return EFM8_OK or a failure of the result table, kept as the thread's
 * last; EFM8_ERR_SESSION_BUSY when the session is in another call.
 * @since 1.0
 */
KESTRANE_API int32_t efm8_flash(efm8_session *session, const uint8_t *image, uint32_t count,
                                const struct efm8_options *options, struct efm8_report *report);

/**
 * Compares the image (with 0xFF to the end of its last page) with the chip
 * by CRC, each 256-byte block on its own, writing nothing.
 * @param session may not be NULL.
 * @param image,count as efm8_flash's.
 * @param report NULL, or filled in whatever the result.
 * @return EFM8_OK, or EFM8_ERR_MISMATCH with the pages that differ in the
 * report, or another failure.
 * @since 1.0
 */
KESTRANE_API int32_t efm8_verify(efm8_session *session, const uint8_t *image, uint32_t count,
                                 struct efm8_report *report);

/**
 * Starts the application; the board leaves its bootloader.
 * @param session may not be NULL.
 * @param report NULL, or filled in whatever the result.
 * @since 1.0
 */
KESTRANE_API int32_t efm8_run(efm8_session *session, struct efm8_report *report);

/**
 * One identify record with any id: EFM8_OK when a bootloader answers it, as
 * it does with 0x40 or 0x42 whatever the part.
 * @param session may not be NULL.
 * @param report NULL, or filled in whatever the result.
 * @since 1.0
 */
KESTRANE_API int32_t efm8_ping(efm8_session *session, struct efm8_report *report);

/** What identify found; see struct efm8_port_settings for its size. */
struct efm8_identity {
    uint32_t size;                    /**< sizeof(struct efm8_identity), or 0, set by the caller */
    const struct efm8_part *part;     /**< NULL when no documented derivative answered */
    const struct efm8_family *family; /**< NULL when not even the family is known */
    uint32_t page_size;               /**< the board's pages, in bytes */
    uint32_t app_limit; /**< from the table; 0 when the part is not known */
    int32_t version;    /**< the bootloader's version byte (0x90 is 1.0) */
};

/**
 * Names the part by probing the ids of the table; when no derivative
 * answers, the families whose derivatives are not documented are probed with
 * every derivative id. A session asks only once.
 * @param session may not be NULL.
 * @param identity filled in whatever the result; may not be NULL.
 * @param report NULL, or filled in whatever the result.
 * @since 1.0
 */
KESTRANE_API int32_t efm8_identify(efm8_session *session, struct efm8_identity *identity, struct efm8_report *report);

/**
 * The lock command: each bit of 0 clears that bit of the chip's signature
 * and lock bytes, for good (flash bits only ever clear, and the bootloader
 * cannot erase the page that holds them); 0xFF leaves a byte as it is. A
 * lock byte of n's ones' complement locks pages 0 to n-1 against reading by
 * a debugger; the bootloader still erases, writes and verifies them. A
 * signature of 0x00 disables the bootloader: the chip then always starts its
 * application and can only be reached through its debug interface. The
 * bytes are read back by CRC where the part table says where they are.
 * @param session may not be NULL.
 * @param signature the signature byte to program (EFM8_SIGNATURE_KEEP or
 * 0xFF keep the bootloader).
 * @param lock the lock byte to program.
 * @param report NULL, or filled in whatever the result; its lock_value and
 * signature_value say what the bytes hold after.
 * @since 1.0
 */
KESTRANE_API int32_t efm8_lock(efm8_session *session, uint8_t signature, uint8_t lock, struct efm8_report *report);

/**
 * The lock byte that locks pages 0 to pages-1.
 * @return its ones' complement: 0 pages 0xFF, 255 (every page) 0x00; pages
 * above 255 give 0x00. Never fails.
 * @since 1.0
 */
KESTRANE_API uint8_t efm8_lock_byte_for(uint32_t pages);

/**
 * Whether the board is one of these parts.
 * @param session may not be NULL.
 * @param ids count part ids (DEVICEID << 8 | DERIVID); may be NULL only
 * with count 0.
 * @param count how many ids there are.
 * @param report NULL, or filled in whatever the result.
 * @return EFM8_OK when the board answers identify for one of the ids,
 * EFM8_ERR_WRONG_PART when for none, or a failure.
 * @since 1.0
 */
KESTRANE_API int32_t efm8_check_ids(efm8_session *session, const uint16_t *ids, size_t count,
                                    struct efm8_report *report);

/**
 * Whether a verify found the page differing.
 * @return 1 or 0; 0 for a NULL report or a page beyond EFM8_MAX_PAGES.
 * @since 1.0
 */
KESTRANE_API int efm8_page_differs(const struct efm8_report *report, uint32_t page);

/**
 * One line on what went wrong, e.g. "the bootloader refused the write at
 * 0x3A00 with 'A' (address out of range)", as snprintf writes it.
 * @param report may not be NULL.
 * @param text may be NULL only with size 0, to learn the length.
 * @param size the room in text, its end included.
 * @return the length it needed, or EFM8_ERR_ARGUMENT.
 * @since 1.0
 */
KESTRANE_API int32_t efm8_describe(const struct efm8_report *report, char *text, size_t size);

/**
 * The command's name: "identify", "setup", "erase", "write", "verify",
 * "lock", "run application" or "version request".
 * @return a string owned by the library, or NULL for a code that is none of
 * them.
 * @since 1.0
 */
KESTRANE_API const char *efm8_command_name(uint8_t command);

/**
 * The report of the last call on this thread that failed, opening a board
 * and a refused argument included. Calls that succeed leave it as it is.
 * @param report may not be NULL; its size is set as for any call.
 * @return EFM8_OK when there is one, EFM8_ERR_NO_DEVICE when no call on this
 * thread has failed yet, EFM8_ERR_ARGUMENT for NULL.
 * @since 1.0
 */
KESTRANE_API int32_t efm8_last_failure(struct efm8_report *report);

#ifdef __cplusplus
}
#endif

#endif
