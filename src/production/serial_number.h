// A number of its own for each board, written into the image before it is
// flashed: where it goes and how its bytes look, given as FORMAT@ADDRESS.
//   le16 le32 le64  binary, least significant byte first (SDCC's order)
//   be16 be32 be64  binary, most significant byte first (Keil C51's order)
//   decN            N ASCII decimal digits, zero-padded (N 1 to 20)
//   hexN            N ASCII upper-case hex digits, zero-padded (N 1 to 16)
// ADDRESS is hex with 0x or decimal. There is no default byte order: the
// firmware's compiler decides it, and a guess would go unnoticed until a
// board reports the wrong number. Pure functions, safe on any thread.
#ifndef KESTRANE_SERIAL_NUMBER_H
#define KESTRANE_SERIAL_NUMBER_H

#include "firmware/image.h"

#include <cstdint>
#include <string>
#include <vector>

namespace serial_number {

enum class Encoding { LittleEndian, BigEndian, Decimal, Hex };

struct Placement {
    Encoding encoding = Encoding::LittleEndian;
    unsigned width = 0;  // the bytes it takes: 2, 4 or 8 for binary, N for text
    std::uint32_t address = 0;
};

// Reads "le32@0x3FF0". On failure returns false and says why in error.
bool parse(const std::string &text, Placement &placement, std::string &error);

// The placement as parse reads it, the address in hex: "le32@0x3FF0".
std::string describe(const Placement &placement);

// The largest number the format holds. A binary format never takes the
// number whose bytes are all 0xFF (65535 in le16, 4294967295 in le32):
// written, it reads as blank flash, and the board would look unnumbered.
// Being each format's very largest, it leaves no number above it to skip to.
// Text digits are never 0xFF.
std::uint64_t largest(const Placement &placement);

// Why the format cannot take the number, to follow "serial number N" or
// "which": "does not fit le16@0x3000 (at most 65534)", or for the blank
// pattern "is 0xFFFF in le16@0x3000, as blank flash reads: ...". Empty when
// it can.
std::string refusal(const Placement &placement, std::uint64_t number);

// The number's bytes in the placement's format; a number the format does
// not take is refused, never cut.
bool encode(const Placement &placement, std::uint64_t number, std::vector<std::uint8_t> &bytes,
            std::string &error);

// A copy of image with the number at its place. The place must lie below
// limit (the part's application limit), and the image may hold only 0xFF
// there: the number goes into space the firmware left for it, never over
// code, and into none of the ranges the image's CRC checks cover. An image
// ending before the place grows with 0xFF up to it. On
// refusal placed is left as it was and error names the address.
bool place(const firmware::Image &image, std::uint32_t limit, const Placement &placement,
           std::uint64_t number, firmware::Image &placed, std::string &error);

}  // namespace serial_number

#endif
