/**
 * @file kestrane/entry.h
 * @brief Hands-free bootloader entry.
 *
 * The lines that reset a board and hold its entry pin (a serial port's RTS
 * and DTR, or GPIO lines through libgpiod), the steps that drive them before
 * the training byte, the bytes an application takes as its way into the
 * bootloader, and a trigger line that says a new board is in its fixture.
 */
#ifndef KESTRANE_ENTRY_H
#define KESTRANE_ENTRY_H

#include <kestrane/board.h>
#include <kestrane/result.h>
#include <kestrane/version.h>

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct efm8_session;
struct efm8_report;

/** What drives a line. */
enum efm8_line_kind {
    EFM8_LINE_NONE = 0,
    EFM8_LINE_RTS, /**< the modem lines of the board's own port */
    EFM8_LINE_DTR,
    EFM8_LINE_GPIO /**< a GPIO line through libgpiod */
};

#define EFM8_LINE_TEXT_MAX 160 /**< the longest line as written: "gpio:CHIP:OFFSET:active-high" */

/** A line as given. Asserted drives the pin low (the chip's reset and entry
 * pins are active low; an adapter drives RTS# and DTR# low while the line is
 * asserted); active_high inverts that, for a transistor stage. */
struct efm8_line {
    enum efm8_line_kind kind;      /**< what drives it; EFM8_LINE_NONE: none */
    char chip[EFM8_LINE_TEXT_MAX]; /**< GPIO: a chip's name (gpiochip0) or its path */
    uint32_t offset;               /**< GPIO: the line's offset on its chip */
    int active_high;               /**< non-zero: asserted drives the pin high */
};

/**
 * Reads "rts", "dtr" or "gpio:CHIP:OFFSET", each with an optional
 * ":active-high".
 * @param text may not be NULL.
 * @param line filled in; may not be NULL.
 * @param error why a text is refused, NUL-terminated and cut to error_size;
 * may be NULL.
 * @param error_size the room in error.
 * @return EFM8_OK, EFM8_ERR_OPTIONS with why in error, or EFM8_ERR_ARGUMENT.
 * @since 1.0
 */
KESTRANE_API int32_t efm8_parse_line(const char *text, struct efm8_line *line, char *error, size_t error_size);

/**
 * The line as it is written: "rts", "gpio:gpiochip0:17:active-high".
 * @param line NULL writes "none".
 * @param text NUL-terminated and cut to size; may be NULL only with size 0.
 * @param size the room in text.
 * @since 1.0
 */
KESTRANE_API void efm8_line_text(const struct efm8_line *line, char *text, size_t size);

/**
 * Whether two lines drive one pin: the same modem line, or the same offset
 * on one GPIO chip however the chip is named ("gpiochip0" and
 * "/dev/gpiochip0", or a link to it), so that a caller can refuse a line
 * given twice before anything is opened.
 * @param a,b NULL or of kind EFM8_LINE_NONE is no line: 0.
 * @return 1 when they are one line, else 0.
 * @since 1.1
 */
KESTRANE_API int efm8_same_line(const struct efm8_line *a, const struct efm8_line *b);

/** A step of an entry sequence. */
enum efm8_step_kind { EFM8_STEP_RESET, EFM8_STEP_BOOT, EFM8_STEP_WAIT };

/** reset and boot: value 1 asserted, 0 released; wait: value milliseconds. */
struct efm8_step {
    enum efm8_step_kind kind; /**< what the step does */
    uint32_t value;           /**< 1 or 0 for a line, milliseconds for a wait */
};

#define EFM8_STEPS_MAX 32         /**< the most steps an entry holds */
#define EFM8_ENTER_COMMAND_MAX 64 /**< the longest enter command */
#define EFM8_WAIT_MAX_MS 60000 /**< the longest wait a step or an enter command may ask */
/** The default sequence's holds: reset asserted this long with boot
 * asserted, then boot kept asserted this long after reset's release. */
#define EFM8_RESET_HOLD_MS 10
#define EFM8_BOOT_HOLD_MS 50 /**< boot held asserted after reset's release */
#define EFM8_ENTER_WAIT_DEFAULT_MS 100 /**< the wait after an enter command unless the entry says otherwise */

/** How a board on a serial port is brought into its bootloader before the
 * training byte, and what happens to it when its session closes; see struct
 * efm8_port_settings for its size. An entry the library cannot follow as
 * given (a boot line without a reset line, both on one line, reset_after
 * or steps without a reset line, command_baud without a command, counts
 * beyond their arrays) is refused with EFM8_ERR_OPTIONS. */
struct efm8_entry {
    uint32_t size;          /**< sizeof(struct efm8_entry): efm8_init_entry or EFM8_ENTRY_INIT */
    struct efm8_line reset; /**< on the chip's reset pin; kind EFM8_LINE_NONE when not given */
    struct efm8_line boot;  /**< on the chip's entry pin; kind EFM8_LINE_NONE when not given */
    /** Run in order once the port is open. None: with both lines, boot
     * asserted, reset asserted, EFM8_RESET_HOLD_MS, reset released,
     * EFM8_BOOT_HOLD_MS, boot released; with reset alone the same without
     * the boot steps (the chip then enters its bootloader only when its
     * flash byte 0 is 0xFF). */
    struct efm8_step steps[EFM8_STEPS_MAX];
    size_t step_count; /**< how many of steps are run, at most EFM8_STEPS_MAX */
    /** Sent to the running application after the steps, at command_baud (0:
     * the port's), followed by a wait of command_wait_ms. */
    uint8_t command[EFM8_ENTER_COMMAND_MAX];
    size_t command_length;    /**< bytes of command sent, at most EFM8_ENTER_COMMAND_MAX; 0: none */
    uint32_t command_baud;    /**< the rate the command is sent at; 0: the port's */
    uint32_t command_wait_ms; /**< the wait after the command, at most EFM8_WAIT_MAX_MS */
    /** When the session closes: a reset pulse with boot released, so that
     * the application starts whatever the session did. */
    int reset_after;
};

/** No lines, no steps, no command, the default wait, as an initializer:
 * `struct efm8_entry entry = EFM8_ENTRY_INIT;` @since 1.1 */
#define EFM8_ENTRY_INIT                                                                                    \
    {sizeof(struct efm8_entry), {EFM8_LINE_NONE, {0}, 0, 0}, {EFM8_LINE_NONE, {0}, 0, 0}, {{EFM8_STEP_RESET, 0}}, \
     0, {0}, 0, 0, EFM8_ENTER_WAIT_DEFAULT_MS, 0}

/**
 * Sets the entry of EFM8_ENTRY_INIT and the size.
 * @param entry the caller's structure; nothing is done when NULL.
 * @param size the size of the caller's structure.
 * @since 1.0
 */
KESTRANE_API void efm8_init_entry(struct efm8_entry *entry, size_t size);

/** efm8_init_entry with the size the program was built with. @since 1.0 */
static inline void efm8_default_entry(struct efm8_entry *entry)
{
    efm8_init_entry(entry, sizeof *entry);
}

/**
 * Whether the entry drives any line or sends a command: a board it is used
 * on answers whenever it is asked.
 * @return 1 or 0; 0 for NULL.
 * @since 1.0
 */
KESTRANE_API int efm8_entry_used(const struct efm8_entry *entry);

/**
 * Reads "boot=1,reset=1,wait=10ms,reset=0,wait=50ms,boot=0" (steps
 * ROLE=0|1 and wait=N followed by ms or s) into the entry's steps. A role
 * whose line the entry lacks is refused too.
 * @param text may not be NULL.
 * @param entry whose steps are set, its lines already given; may not be
 * NULL.
 * @param error,error_size as efm8_parse_line's.
 * @return EFM8_OK, EFM8_ERR_OPTIONS with the bad step named in error, or
 * EFM8_ERR_ARGUMENT.
 * @since 1.0
 */
KESTRANE_API int32_t efm8_parse_entry_sequence(const char *text, struct efm8_entry *entry, char *error,
                                               size_t error_size);

/**
 * The steps the entry runs: its own, or the default for its lines.
 * @param entry NULL has none.
 * @param steps room for max steps; NULL gives 0.
 * @param max the room in steps.
 * @return how many were written, at most max (a count, not a result: 0 for
 * NULL arguments).
 * @since 1.0
 */
KESTRANE_API size_t efm8_entry_steps(const struct efm8_entry *entry, struct efm8_step *steps, size_t max);

/**
 * efm8_open_port, the board first brought into its bootloader as entry
 * says. Its lines are claimed when the port is opened: when RTS or DTR has a
 * role, both are set to their released state at once (opening a port raises
 * both), and the port keeps them as they are when it is closed; without a
 * role they are left alone. Every line is released when the session closes,
 * whatever it did.
 * @param port may not be NULL.
 * @param settings NULL for the defaults.
 * @param entry NULL for none: efm8_open_port.
 * @param session as efm8_open's.
 * @param report NULL, or filled in on failure (naming the line).
 * @return efm8_open_port's results, and EFM8_ERR_NO_LINE (the adapter
 * cannot drive the line, or no such GPIO chip or line), EFM8_ERR_LINE_BUSY
 * (another program holds the GPIO line), EFM8_ERR_LINE_ACCESS (no
 * permission to open its chip).
 * @since 1.0
 */
KESTRANE_API int32_t efm8_open_port_entry(const char *port, const struct efm8_port_settings *settings,
                                          const struct efm8_entry *entry, struct efm8_session **session,
                                          struct efm8_report *report);

/**
 * An application's own way into a USB bootloader: the output report (its
 * first byte the report id, 0 when the device numbers none) written to the
 * only HID device with this USB id.
 * @param vendor_id,product_id the application's USB id.
 * @param report length bytes; may not be NULL.
 * @param length the report's length, its id included; not 0.
 * @return EFM8_OK, EFM8_ERR_NO_DEVICE, EFM8_ERR_SEVERAL, EFM8_ERR_ACCESS,
 * EFM8_ERR_OPEN, EFM8_ERR_TRANSFER or EFM8_ERR_ARGUMENT.
 * @since 1.0
 */
KESTRANE_API int32_t efm8_enter_usb(uint16_t vendor_id, uint16_t product_id, const uint8_t *report, size_t length);

/** A fixture's presence or lid switch: each assertion of the line is one
 * new board. */
typedef struct efm8_trigger efm8_trigger;

/**
 * Claims a GPIO line as a trigger.
 * @param line a GPIO line; may not be NULL.
 * @param trigger set to one owned by the caller until efm8_trigger_close,
 * or NULL; may not be NULL.
 * @param error,error_size as efm8_parse_line's.
 * @return EFM8_OK, the line results of efm8_open_port_entry with why in
 * error, EFM8_ERR_MEMORY or EFM8_ERR_ARGUMENT.
 * @since 1.0
 */
KESTRANE_API int32_t efm8_trigger_open(const struct efm8_line *line, efm8_trigger **trigger, char *error,
                                       size_t error_size);

/**
 * Waits for the trigger's next assertion.
 * @param trigger may not be NULL.
 * @param timeout_ms the longest wait.
 * @return 1 when the line was asserted within timeout_ms, 0 when not,
 * EFM8_ERR_TRANSFER when it can no longer be read, or EFM8_ERR_ARGUMENT.
 * @since 1.0
 */
KESTRANE_API int32_t efm8_trigger_wait(efm8_trigger *trigger, uint32_t timeout_ms);

/** Releases the line and frees the trigger; NULL does nothing. @since 1.0 */
KESTRANE_API void efm8_trigger_close(efm8_trigger *trigger);

#ifdef __cplusplus
}
#endif

#endif
