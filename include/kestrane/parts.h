/**
 * @file kestrane/parts.h
 * @brief The EFM8 parts that ship with a factory bootloader, as the vendor's
 * reference manuals and data sheets document them: one table of families and
 * one of derivatives.
 */
#ifndef KESTRANE_PARTS_H
#define KESTRANE_PARTS_H

#include <kestrane/version.h>

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/** How a bootloader is reached. */
enum efm8_interface {
    EFM8_USB = 1,   /**< HID feature reports */
    EFM8_UART = 2,  /**< a serial port */
    EFM8_SMBUS = 3, /**< a few parts' factory bootloader; Kestrane does not speak it */
};

/** The pages of most families, and those taken for a part of no known
 * family (the final CRC check guards the rest). */
#define EFM8_PAGE_SIZE_DEFAULT 512

/** A family of parts. */
struct efm8_family {
    const char *name;                  /**< "EFM8BB3" */
    uint8_t device_id;                 /**< DEVICEID, the high byte of an identify id */
    uint16_t page_size;                /**< bytes one erase clears */
    enum efm8_interface interface;     /**< of most of its parts */
    uint16_t product_id;               /**< the USB bootloader's product id, 0 over a UART */
    int derivatives_documented;        /**< 0: the part table has none of its derivatives */
};

/** A documented derivative. */
struct efm8_part {
    const char *name; /**< "EFM8BB31F64G-QFN32"; the revision letter is not part of the id */
    const struct efm8_family *family; /**< its family, an entry of efm8_families() */
    uint16_t id;          /**< DEVICEID << 8 | DERIVID, as identify sends it */
    uint32_t flash_size;  /**< bytes, as the part number gives it */
    /** The first address the application may not use while the bootloader
     * is kept. */
    uint32_t app_limit;
    /** The documents do not state app_limit: it was inferred from the
     * bootloader's size, so the device is asked as well. */
    int limit_inferred;
    uint32_t lock_byte;            /**< the bootloader signature byte is the byte before it */
    enum efm8_interface interface; /**< its factory bootloader's */
};

/**
 * Every family, in table order.
 * @param count set to how many; may be NULL.
 * @return the table, owned by the library and valid while it is loaded
 * (every pointer in it too). Never fails.
 * @since 1.0
 */
KESTRANE_API const struct efm8_family *efm8_families(size_t *count);

/**
 * Every documented derivative, in table order.
 * @param count set to how many; may be NULL.
 * @return the table, owned by the library and valid while it is loaded.
 * Never fails.
 * @since 1.0
 */
KESTRANE_API const struct efm8_part *efm8_parts(size_t *count);

/**
 * The family whose USB bootloader has this product id.
 * @return an entry of efm8_families(), or NULL when none has it.
 * @since 1.0
 */
KESTRANE_API const struct efm8_family *efm8_family_of_product(uint16_t product_id);

#ifdef __cplusplus
}
#endif

#endif
