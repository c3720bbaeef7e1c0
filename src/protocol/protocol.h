// The EFM8 factory bootloader's records, alike over USB HID and a UART: '$',
// a length N counting the command byte and its payload, the command, the
// payload. 16-bit fields go high byte first. The device answers each record
// with one reply code.
#ifndef KESTRANE_PROTOCOL_H
#define KESTRANE_PROTOCOL_H

#include <kestrane/board.h>       // EFM8_WRITE_MAX
#include <kestrane/bootloader.h>  // the command and reply codes

#include <stddef.h>
#include <stdint.h>

#define EFM8_RECORD_START 0x24  // '$'
// '$', N, the command, a 16-bit address and the most data a record carries.
#define EFM8_RECORD_MAX (5 + EFM8_WRITE_MAX)
#define EFM8_FLASH_KEY_1 0xA5
#define EFM8_FLASH_KEY_2 0xF1

// Each writes one record from record[0] ('$') on and returns its length.
// Only the low 16 bits of an address or id go out.
size_t record_identify(uint8_t *record, uint32_t id);
size_t record_setup(uint8_t *record, uint8_t bank);
// An erase or a write: the address, then len data bytes (an erase writes
// them into the page it has just erased). len is at most EFM8_WRITE_MAX.
size_t record_data(uint8_t *record, uint8_t command, uint32_t address, const uint8_t *data, uint32_t len);
// end is inclusive.
size_t record_verify(uint8_t *record, uint32_t start, uint32_t end, uint16_t crc);
size_t record_lock(uint8_t *record, uint8_t signature, uint8_t lock);
size_t record_runapp(uint8_t *record);
size_t record_unknown(uint8_t *record);

// The bootloader stays only while its signature byte holds 0xA5; a lock
// command's signature byte clears the bits that are 0 in it, so one that
// clears any of those bits disables the bootloader for good.
static inline bool disables_bootloader(uint8_t signature)
{
    return (signature & EFM8_SIGNATURE_KEEP) != EFM8_SIGNATURE_KEEP;
}

// CRC-16 as the bootloader's verify computes it: CCITT "XModem", polynomial
// 0x1021, initial value 0, no reflection, no final xor. crc is the value so
// far (0 to start).
uint16_t crc16_update(uint16_t crc, uint8_t byte);
uint16_t crc16(const uint8_t *data, size_t len);

#endif
