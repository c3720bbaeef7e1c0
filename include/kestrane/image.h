/* Firmware files for the engine: a raw binary, Intel HEX, Motorola
 * S-records or the bootloader's own boot records (.efm8), told apart by
 * their content, become one image from address 0 with what else a
 * boot-record file asks for: the parts it is meant for, CRC checks, a lock
 * and whether it starts the application. Every checksum the file carries is
 * checked here, before any board is opened. */
#ifndef KESTRANE_IMAGE_H
#define KESTRANE_IMAGE_H

#include <kestrane/engine.h>
#include <kestrane/version.h>

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct efm8_image efm8_image;

enum efm8_format {
    EFM8_FORMAT_BINARY = 1,
    EFM8_FORMAT_INTEL_HEX = 2,
    EFM8_FORMAT_SRECORD = 3,
    EFM8_FORMAT_BOOT_RECORDS = 4
};

/* Reads the file at path ("-" is standard input) into a new image. Returns
 * EFM8_OK and the image, or EFM8_ERR_UNREADABLE (it could not be opened or
 * read) or EFM8_ERR_BAD_IMAGE (not a usable image) and none, with what went
 * wrong in message (NUL-terminated, cut to size; may be NULL), naming the
 * line or offset: "fw.hex: line 12: checksum mismatch (01 != 00)". */
KESTRANE_API int32_t efm8_image_load(const char *path, efm8_image **image, char *message, size_t size);

/* The same from a file's content in memory; name stands for the file in
 * messages (NULL: "image"). */
KESTRANE_API int32_t efm8_image_parse(const uint8_t *content, size_t count, const char *name, efm8_image **image,
                                      char *message, size_t size);

KESTRANE_API void efm8_image_free(efm8_image *image);

KESTRANE_API enum efm8_format efm8_image_format(const efm8_image *image);

/* The bytes from address 0 to the highest one the file gives; gaps hold
 * 0xFF. Valid while the image lives. */
KESTRANE_API const uint8_t *efm8_image_bytes(const efm8_image *image, uint32_t *count);

/* The part ids (DEVICEID << 8 | DERIVID) a boot-record file is meant for,
 * in its order; none (count 0): any part. */
KESTRANE_API const uint16_t *efm8_image_ids(const efm8_image *image, size_t *count);

/* A boot-record file's verify records, to be checked once the image is. */
KESTRANE_API const struct efm8_check *efm8_image_checks(const efm8_image *image, size_t *count);

/* 1 with its bytes when a boot-record file ends with a lock, else 0. */
KESTRANE_API int efm8_image_lock(const efm8_image *image, uint8_t *signature, uint8_t *lock);

/* 0 for a boot-record file that does not start the application, else 1. */
KESTRANE_API int efm8_image_runs(const efm8_image *image);

/* Flashes the image as its file asks, over the options (NULL: the
 * defaults):
 * - a file meant for some parts is held against the board first, and any
 *   other part is EFM8_ERR_WRONG_PART before anything is erased;
 * - its checks are made after the options' own;
 * - its lock and the options' lock combine bit by bit, as the chip's flash
 *   does, and are programmed only after a successful verify (without
 *   verify, EFM8_ERR_OPTIONS); a file's lock that would disable the
 *   bootloader is refused (EFM8_ERR_OPTIONS) unless the options' own lock
 *   asks for that signature too;
 * - a boot-record file that does not start the application leaves the
 *   board in its bootloader whatever the options say. */
KESTRANE_API int32_t efm8_flash_image(efm8_session *session, const efm8_image *image,
                                      const struct efm8_options *options, struct efm8_report *report);

/* efm8_verify over the image, after the same check of the parts. */
KESTRANE_API int32_t efm8_verify_image(efm8_session *session, const efm8_image *image, struct efm8_report *report);

#ifdef __cplusplus
}
#endif

#endif
