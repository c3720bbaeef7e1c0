/**
 * @file kestrane/board.h
 * @brief What tells the library's boards and ports apart, and how a port is
 * driven: the types the engine and its transports share.
 */
#ifndef KESTRANE_BOARD_H
#define KESTRANE_BOARD_H

#include <kestrane/parts.h>
#include <kestrane/version.h>

#include <stddef.h>
#include <stdint.h>

#define EFM8_PATH_MAX 256 /**< room for a path, its end included */
#define EFM8_MAX_PAGES 128 /**< the 64 KB a 16-bit address reaches, in 512-byte pages */
#define EFM8_ADDRESS_SPACE 0x10000 /**< the bytes a 16-bit flash address reaches */
/** An erased flash byte. Programming only clears bits, so writing it (or a
 * lock command's byte of it) leaves a byte as it is. */
#define EFM8_ERASED 0xFF
#define EFM8_USB_VENDOR_ID 0x10C4 /**< Silicon Labs, whose USB ids every EFM8 bootloader uses */
/** The HID report size is not documented, so USB keeps to 32 data bytes a
 * record; over a UART the bootloader takes up to 128. */
#define EFM8_WRITE_USB_DEFAULT 32
#define EFM8_WRITE_UART_DEFAULT 128 /**< the data bytes a record carries over a UART */
#define EFM8_WRITE_MAX 128 /**< the most data bytes one erase or write record carries */
#define EFM8_BAUD_DEFAULT 115200    /**< a port's rate unless settings say otherwise */
#define EFM8_TIMEOUT_DEFAULT_MS 2000 /**< how long a reply may take unless settings say otherwise */

#ifdef __cplusplus
extern "C" {
#endif

/** A bootloader found by efm8_list, or the board of a session. The entries
 * of a list keep this layout for the life of the library's ABI; a longer
 * one would come with a call of its own. */
struct efm8_device {
    char path[EFM8_PATH_MAX]; /**< the USB path or the serial port: what tells two boards apart */
    enum efm8_interface interface; /**< USB or UART */
    uint16_t vendor_id;            /**< over USB */
    uint16_t product_id;           /**< over USB */
    /** over USB "EFM8UB1", "EFM8UB2" or "EFM8UB3", owned by the library;
     * NULL over a UART until identified */
    const char *family;
};

/** A serial port of this machine, as the kernel and udev describe it. */
struct efm8_port {
    char path[EFM8_PATH_MAX]; /**< "/dev/ttyUSB0" */
    uint16_t vendor_id;       /**< of a USB adapter; 0 for any other port */
    uint16_t product_id;      /**< of a USB adapter; 0 for any other port */
    char manufacturer[64];    /**< as udev names the adapter's maker; may be empty */
    char product[64];         /**< as udev names the adapter; may be empty */
    char serial[64];          /**< the adapter's serial number; may be empty */
};

/**
 * How a serial port is opened.
 *
 * Settings, options, entries, reports and identities that cross the
 * library's boundary start with their size as the caller compiled them, so
 * that fields can be added at their end without breaking programs built
 * before: the library reads and writes no more than that. Set the size with
 * the efm8_init_* calls or the *_INIT macros. Settings, options and entries
 * whose size is 0 (a structure zeroed whole and never set up), smaller than
 * the first version's, or larger than the library's own (a newer program's)
 * are refused with EFM8_ERR_OPTIONS before anything is opened or sent: a
 * zeroed structure would otherwise turn off the verify, the safe order and
 * the start. Reports and identities are written up to their size, and at
 * least the first version's fields (a size of 0 stands for those).
 */
struct efm8_port_settings {
    uint32_t size;       /**< sizeof(struct efm8_port_settings) */
    uint32_t baud;       /**< 57600 to 460800 (the UB parts' UART starts at 115200) */
    uint32_t timeout_ms; /**< for each reply; a reply that does not come is a failed transfer */
};

/** The default settings as an initializer: 115200 baud, 2 s for each reply.
 * `struct efm8_port_settings settings = EFM8_PORT_SETTINGS_INIT;`
 * @since 1.1 */
#define EFM8_PORT_SETTINGS_INIT {sizeof(struct efm8_port_settings), EFM8_BAUD_DEFAULT, EFM8_TIMEOUT_DEFAULT_MS}

/**
 * Sets the default settings (those of EFM8_PORT_SETTINGS_INIT) and the size.
 * @param settings the caller's structure; nothing is done when NULL.
 * @param size the size of the caller's structure, as
 * efm8_default_port_settings passes it.
 * @since 1.0
 */
KESTRANE_API void efm8_init_port_settings(struct efm8_port_settings *settings, size_t size);

/** efm8_init_port_settings with the size of the structure the program was
 * built with. @since 1.0 */
static inline void efm8_default_port_settings(struct efm8_port_settings *settings)
{
    efm8_init_port_settings(settings, sizeof *settings);
}

/**
 * The baud rates the UART bootloaders' autobaud takes and a port is opened
 * at, in rising order.
 * @param count set to how many; may be NULL.
 * @return a table owned by the library, valid while it is loaded. Never fails.
 * @since 1.0
 */
KESTRANE_API const uint32_t *efm8_baud_rates(size_t *count);

#ifdef __cplusplus
}
#endif

#endif
