// What tells the library's boards and ports apart, and how a port is
// driven: the types the engine and its transports share.
#ifndef KESTRANE_BOARD_H
#define KESTRANE_BOARD_H

#include <kestrane/parts.h>
#include <kestrane/version.h>

#include <stddef.h>
#include <stdint.h>

#define EFM8_PATH_MAX 256
#define EFM8_MAX_PAGES 128  // the 64 KB a 16-bit address reaches, in 512-byte pages
#define EFM8_ADDRESS_SPACE 0x10000
// An erased flash byte. Programming only clears bits, so writing it (or a
// lock command's byte of it) leaves a byte as it is.
#define EFM8_ERASED 0xFF
#define EFM8_USB_VENDOR_ID 0x10C4  // Silicon Labs, whose USB ids every EFM8 bootloader uses
// The HID report size is not documented, so USB keeps to 32 data bytes a
// record; over a UART the bootloader takes up to 128.
#define EFM8_WRITE_USB_DEFAULT 32
#define EFM8_WRITE_UART_DEFAULT 128
#define EFM8_WRITE_MAX 128  // the most data bytes one erase or write record carries
#define EFM8_BAUD_DEFAULT 115200
#define EFM8_TIMEOUT_DEFAULT_MS 2000

#ifdef __cplusplus
extern "C" {
#endif

// The entries of a list (efm8_list, efm8_list_ports) keep this layout for
// the life of the library's ABI; a longer one would come with a call of
// its own.
struct efm8_device {
    char path[EFM8_PATH_MAX];  // the USB path or the serial port: what tells two boards apart
    enum efm8_interface interface;
    uint16_t vendor_id;   // over USB
    uint16_t product_id;
    const char *family;   // over USB "EFM8UB1", "EFM8UB2" or "EFM8UB3"; NULL over a UART until identified
};

// A serial port of this machine, as the kernel and udev describe it.
struct efm8_port {
    char path[EFM8_PATH_MAX];  // "/dev/ttyUSB0"
    uint16_t vendor_id;        // of a USB adapter; 0 for any other port
    uint16_t product_id;
    char manufacturer[64];
    char product[64];
    char serial[64];
};

// Settings, options, reports and identities that cross the library's
// boundary start with their size as the caller compiled them, so that
// fields can be added at their end without breaking programs built before:
// the library reads and writes no more than that. The efm8_init_* calls
// set it; a size of 0 stands for the first version's, so a structure
// zeroed whole (`= {0}`, `{}`) may be handed in as it is. Settings and
// options of another size smaller than the first version's, or larger than
// the library's own (a newer program's), are refused (EFM8_ERR_OPTIONS);
// reports and identities are written up to their size, and at least the
// first version's fields.
struct efm8_port_settings {
    uint32_t size;        // sizeof(struct efm8_port_settings), or 0
    uint32_t baud;        // 57600 to 460800 (the UB parts' UART starts at 115200)
    uint32_t timeout_ms;  // for each reply; a reply that does not come is a failed transfer
};

// 115200 baud, 2 s for each reply; size is the size of the caller's
// structure, as efm8_default_port_settings passes it.
KESTRANE_API void efm8_init_port_settings(struct efm8_port_settings *settings, size_t size);

static inline void efm8_default_port_settings(struct efm8_port_settings *settings)
{
    efm8_init_port_settings(settings, sizeof *settings);
}

// The baud rates the UART bootloaders' autobaud takes and a port is opened
// at, in rising order; count is set to how many.
KESTRANE_API const uint32_t *efm8_baud_rates(size_t *count);

#ifdef __cplusplus
}
#endif

#endif
