/**
 * @file kestrane/bootloader.h
 * @brief The bootloader's command codes and reply codes, as a report names
 * the command that failed and the reply it got.
 */
#ifndef KESTRANE_BOOTLOADER_H
#define KESTRANE_BOOTLOADER_H

/** The command codes. */
enum {
    EFM8_CMD_IDENTIFY = 0x30,
    EFM8_CMD_SETUP = 0x31,
    EFM8_CMD_ERASE = 0x32,
    EFM8_CMD_WRITE = 0x33,
    EFM8_CMD_VERIFY = 0x34,
    EFM8_CMD_LOCK = 0x35,
    EFM8_CMD_RUNAPP = 0x36,
    /** No bootloader defines it: the reply is the bootloader's version. */
    EFM8_CMD_UNKNOWN = 0x3F,
};

/** The reply codes. */
enum {
    EFM8_REPLY_ACK = 0x40,     /**< '@' */
    EFM8_REPLY_RANGE = 0x41,   /**< 'A': address out of range, or no flash keys */
    EFM8_REPLY_BAD_ID = 0x42,  /**< 'B': identify with another part's id */
    EFM8_REPLY_BAD_CRC = 0x43, /**< 'C': verify found other contents */
};

/** The lock command's signature byte: the bootloader stays enabled only
 * while the chip's holds 0xA5; 0x00 disables it for good. */
#define EFM8_SIGNATURE_KEEP 0xA5
#define EFM8_SIGNATURE_DISABLE 0x00 /**< the signature byte that disables the bootloader for good */
/** A lock byte of 0x00, every bit cleared, locks the most pages it can. */
#define EFM8_LOCK_PAGES_MAX 255

#endif
