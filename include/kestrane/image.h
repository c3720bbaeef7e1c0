/**
 * @file kestrane/image.h
 * @brief Firmware files for the engine.
 *
 * A raw binary, Intel HEX, Motorola S-records or the bootloader's own boot
 * records (.efm8), told apart by their content, become one image from
 * address 0 with what else a boot-record file asks for: the parts it is
 * meant for, CRC checks, a lock and whether it starts the application. Every
 * checksum the file carries is checked here, before any board is opened.
 * An image is never changed once made: threads may share one.
 */
#ifndef KESTRANE_IMAGE_H
#define KESTRANE_IMAGE_H

#include <kestrane/engine.h>
#include <kestrane/version.h>

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/** A firmware file loaded, from efm8_image_load or efm8_image_parse. */
typedef struct efm8_image efm8_image;

/** What a file was. */
enum efm8_format {
    EFM8_FORMAT_BINARY = 1,
    EFM8_FORMAT_INTEL_HEX = 2,
    EFM8_FORMAT_SRECORD = 3,
    EFM8_FORMAT_BOOT_RECORDS = 4
};

/**
 * Reads a firmware file into a new image.
 * @param path the file, "-" for standard input; may not be NULL.
 * @param image set to the image, owned by the caller until efm8_image_free,
 * or to NULL on failure; may not be NULL.
 * @param message what went wrong, NUL-terminated and cut to size, naming the
 * line or offset ("fw.hex: line 12: checksum mismatch (01 != 00)"); empty on
 * success; may be NULL.
 * @param size the room in message.
 * @return EFM8_OK, EFM8_ERR_UNREADABLE (it could not be opened or read),
 * EFM8_ERR_BAD_IMAGE (not a usable image), EFM8_ERR_MEMORY or
 * EFM8_ERR_ARGUMENT.
 * @since 1.0
 */
KESTRANE_API int32_t efm8_image_load(const char *path, efm8_image **image, char *message, size_t size);

/**
 * The same from a file's content in memory.
 * @param content count bytes, read during the call only; may be NULL only
 * when count is 0.
 * @param count the content's length.
 * @param name stands for the file in messages; NULL: "image".
 * @param image,message,size as efm8_image_load's.
 * @return as efm8_image_load's, never EFM8_ERR_UNREADABLE.
 * @since 1.0
 */
KESTRANE_API int32_t efm8_image_parse(const uint8_t *content, size_t count, const char *name, efm8_image **image,
                                      char *message, size_t size);

/** Frees the image; NULL does nothing. @since 1.0 */
KESTRANE_API void efm8_image_free(efm8_image *image);

/**
 * What the file was.
 * @return its format, or 0 for NULL.
 * @since 1.0
 */
KESTRANE_API enum efm8_format efm8_image_format(const efm8_image *image);

/**
 * The bytes from address 0 to the highest one the file gives; gaps hold
 * 0xFF.
 * @param image NULL gives NULL.
 * @param count set to how many; may be NULL.
 * @return bytes owned by the image, valid while it lives; NULL (and a count
 * of 0) for a NULL image.
 * @since 1.0
 */
KESTRANE_API const uint8_t *efm8_image_bytes(const efm8_image *image, uint32_t *count);

/**
 * The part ids (DEVICEID << 8 | DERIVID) a boot-record file is meant for, in
 * its order; none (count 0): any part.
 * @param image NULL gives NULL.
 * @param count set to how many; may be NULL.
 * @return ids owned by the image, valid while it lives; NULL for a NULL
 * image.
 * @since 1.0
 */
KESTRANE_API const uint16_t *efm8_image_ids(const efm8_image *image, size_t *count);

/**
 * A boot-record file's verify records, to be checked once the image is.
 * @param image NULL gives NULL.
 * @param count set to how many; may be NULL.
 * @return checks owned by the image, valid while it lives; NULL for a NULL
 * image.
 * @since 1.0
 */
KESTRANE_API const struct efm8_check *efm8_image_checks(const efm8_image *image, size_t *count);

/**
 * The lock a boot-record file ends with.
 * @param image NULL has none.
 * @param signature,lock set to its bytes (0xFF without a lock); either may
 * be NULL.
 * @return 1 when there is one, else 0 (for a NULL image too).
 * @since 1.0
 */
KESTRANE_API int efm8_image_lock(const efm8_image *image, uint8_t *signature, uint8_t *lock);

/**
 * Whether the file starts the application.
 * @return 0 for a boot-record file that does not, and for NULL; else 1.
 * @since 1.0
 */
KESTRANE_API int efm8_image_runs(const efm8_image *image);

/**
 * Flashes the image as its file asks, over the options:
 * - a file meant for some parts is held against the board first, and any
 *   other part is EFM8_ERR_WRONG_PART before anything is erased;
 * - its checks are made after the options' own;
 * - its lock and the options' lock combine bit by bit, as the chip's flash
 *   does, and are programmed only after a successful verify (without
 *   verify, EFM8_ERR_OPTIONS before anything is sent);
 * - a lock that would disable the bootloader, the file's or the options'
 *   own, is refused (EFM8_ERR_OPTIONS before anything is sent) unless the
 *   options allow_disable_bootloader;
 * - a boot-record file that does not start the application leaves the
 *   board in its bootloader whatever the options say.
 * @param session may not be NULL.
 * @param image may not be NULL; it is only read, and may be flashed from
 * several threads at once.
 * @param options NULL for the defaults.
 * @param report NULL, or filled in whatever the result.
 * @return as efm8_flash.
 * @since 1.0
 */
KESTRANE_API int32_t efm8_flash_image(efm8_session *session, const efm8_image *image,
                                      const struct efm8_options *options, struct efm8_report *report);

/**
 * The options efm8_flash_image would flash the image with, settled without
 * a board: its lock fields hold the combined lock, and run is cleared for a
 * file that does not start the application. Its checks are still the
 * options' own (efm8_flash_image adds the file's after them).
 * @param image may not be NULL.
 * @param options NULL for the defaults.
 * @param settled a structure of the caller's, its size set; may not be NULL.
 * @param why why efm8_flash_image would refuse, cut to why_size; may be NULL.
 * @param why_size the room in why.
 * @return EFM8_OK, EFM8_ERR_OPTIONS when efm8_flash_image would refuse the
 * image over these options (settled is filled in all the same), or
 * EFM8_ERR_ARGUMENT.
 * @since 1.1
 */
KESTRANE_API int32_t efm8_image_flash_options(const efm8_image *image, const struct efm8_options *options,
                                              struct efm8_options *settled, char *why, size_t why_size);

/**
 * efm8_verify over the image, after the same check of the parts.
 * @param session may not be NULL.
 * @param image may not be NULL.
 * @param report NULL, or filled in whatever the result.
 * @since 1.0
 */
KESTRANE_API int32_t efm8_verify_image(efm8_session *session, const efm8_image *image, struct efm8_report *report);

#ifdef __cplusplus
}
#endif

#endif
