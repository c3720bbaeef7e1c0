// The bootloader link: finds an EFM8UB1 in its factory USB HID bootloader and
// writes an application image into it.
#ifndef KESTRANE_LIB_H
#define KESTRANE_LIB_H

#include <stdint.h>

// The EFM8UB1's application area, 0x0000-0x39FF of its 16 KB: the largest
// image it takes.
#define EFM8_APP_SIZE 14848

// 1 when at least one bootloader device is attached, else 0 (also when the
// USB enumeration itself fails). Opens nothing.
int32_t efm8_find(void);

// Writes count bytes of data into flash from address 0 and starts the new
// application. Results:
//    0  every command was sent and setup, each erase and each write were
//       acknowledged by the device
//   -1  no bootloader device could be opened; nothing was sent
//   -2  count is 0 or larger than the application area (EFM8_APP_SIZE bytes);
//       USB untouched
//   -3  a USB transfer failed; the sequence stopped there
//   -4  the device refused setup, an erase or a write; the rest was still sent
int32_t efm8_program(const uint8_t *data, uint32_t count);

#endif
