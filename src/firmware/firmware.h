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

// A file that starts with '$' is boot records; one whose first non-blank byte
// is ':' and which is text is Intel HEX; one that starts with S0 to S9 and is
// text is S-record; anything else is a raw binary.
Format format_of(const std::uint8_t *content, std::size_t size);

// Reads a whole file, "-" meaning standard input; a file longer than
// MAX_FILE_SIZE is read to one byte past it.
Outcome read_file(const std::string &path, std::vector<std::uint8_t> &content);

// Turns a file's content into an image of at most limit bytes (limit at most
// ADDRESS_SPACE). Checksums are checked, a missing end record and two records
// that give one address different bytes are errors, and start addresses,
// headers and record counts place nothing. Boot records are read as
// boot_records.h says. image.format is set even when parsing fails.
Outcome parse(const std::uint8_t *content, std::size_t size, std::uint32_t limit, Image &image);

}  // namespace firmware

#endif
