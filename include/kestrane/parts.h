// The EFM8 parts that ship with a factory bootloader, as the vendor's
// reference manuals and data sheets document them: one table of families and
// one of derivatives.
#ifndef KESTRANE_PARTS_H
#define KESTRANE_PARTS_H

#include <kestrane/version.h>

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum efm8_interface {
    EFM8_USB = 1,    // HID feature reports
    EFM8_UART = 2,   // a serial port
    EFM8_SMBUS = 3,  // a few parts' factory bootloader; Kestrane does not speak it
};

// The pages of most families, and those taken for a part of no known
// family (the final CRC check guards the rest).
#define EFM8_PAGE_SIZE_DEFAULT 512

struct efm8_family {
    const char *name;     // "EFM8BB3"
    uint8_t device_id;    // DEVICEID, the high byte of an identify id
    uint16_t page_size;   // bytes one erase clears
    enum efm8_interface interface;  // of most of its parts
    uint16_t product_id;  // the USB bootloader's product id, 0 over a UART
    int derivatives_documented;  // 0: the part table has none of its derivatives
};

struct efm8_part {
    const char *name;  // "EFM8BB31F64G-QFN32"; the revision letter is not part of the id
    const struct efm8_family *family;
    uint16_t id;  // DEVICEID << 8 | DERIVID, as identify sends it
    uint32_t flash_size;  // bytes, as the part number gives it
    // The first address the application may not use while the bootloader is
    // kept. limit_inferred: the documents do not state it; it was inferred
    // from the bootloader's size, so the device is asked as well.
    uint32_t app_limit;
    int limit_inferred;
    uint32_t lock_byte;  // the bootloader signature byte is the byte before it
    enum efm8_interface interface;  // its factory bootloader's
};

// Every family, and every documented derivative, in table order.
KESTRANE_API const struct efm8_family *efm8_families(size_t *count);
KESTRANE_API const struct efm8_part *efm8_parts(size_t *count);

// The family whose USB bootloader has this product id, or NULL.
KESTRANE_API const struct efm8_family *efm8_family_of_product(uint16_t product_id);

#ifdef __cplusplus
}
#endif

#endif
