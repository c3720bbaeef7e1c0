// The firmware-file loader: raw binary, Intel HEX, Motorola S-record and
// boot-record files, told apart by their content, become one flash image from
// address 0, with whatever else a boot-record file asks for. Used by the
// window and by kestrane-cli; neither reads a file format itself.
#ifndef KESTRANE_FIRMWARE_H
#define KESTRANE_FIRMWARE_H

#include "firmware/image.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace firmware {

// A file that starts with '$' is boot records. A file that is all text
// (text.h: ASCII, UTF-8, Latin-1, Windows-1252 or UTF-16, a byte-order mark
// allowed, NUL or DOS end-of-file padding after its last line), or whose
// first line is a well-formed record, is Intel HEX or S-records, by its
// first line that starts as a record does (':', or S and a digit), and Intel
// HEX when none does: such a file is never a raw binary. Anything else is a
// raw binary.
Format format_of(const std::uint8_t *content, std::size_t size);

// Reads a whole file, "-" meaning standard input; a file longer than
// MAX_FILE_SIZE is read to one byte past it.
Outcome read_file(const std::string &path, std::vector<std::uint8_t> &content);

// Turns a file's content into an image of at most limit bytes (limit at most
// ADDRESS_SPACE). Checksums are checked, a missing HEX end record, an S5
// count that is wrong, SDCC's S1 records with 24-bit addresses and two
// records that give one address different bytes are errors; start
// addresses, headers and record counts place nothing, and S-records need
// none of them. Boot records are read as
// boot_records.h says. image.format is set even when parsing fails. A text
// file is read line by line, without the blanks around each line, and a line
// that does not parse is named.
Outcome parse(const std::uint8_t *content, std::size_t size, std::uint32_t limit, Image &image);

// The content as the format asked, for a user who insists: a raw binary
// whatever it holds, or else refused when it is not that format, the first
// line (or boot record) that is not named.
Outcome parse_as(const std::uint8_t *content, std::size_t size, std::uint32_t limit, Format asked, Image &image);

// The content as a raw binary whatever it holds.
Outcome parse_binary(const std::uint8_t *content, std::size_t size, std::uint32_t limit, Image &image);

}  // namespace firmware

#endif
