// The firmware-file loader: raw binary, Intel HEX and Motorola S-record files,
// told apart by their content, become one flash image from address 0. Used by
// the window and by kestrane-cli; neither reads a file format itself.
#ifndef KESTRANE_FIRMWARE_H
#define KESTRANE_FIRMWARE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace firmware {

constexpr uint32_t ADDRESS_SPACE = 0x10000;  // what a 16-bit flash address reaches
// Far beyond any EFM8 image in any of the formats; a longer file is not one.
constexpr std::size_t MAX_FILE_SIZE = 4 << 20;

enum class Format { Binary, IntelHex, SRecord };

enum class Problem {
    None,
    Unreadable,  // the file could not be opened or read
    Empty,       // a raw binary with nothing in it
    Malformed,   // HEX or S-record text that does not parse, or holds no data
    TooLarge,    // data beyond the limit
};

struct Image {
    Format format = Format::Binary;
    // Address 0 up to the highest address written; gaps hold 0xFF.
    std::vector<std::uint8_t> bytes;
};

struct Outcome {
    Problem problem = Problem::None;
    // What is wrong, e.g. "line 12: checksum mismatch (01 != 00)".
    std::string message;
    bool ok() const { return problem == Problem::None; }
};

// A file whose first non-blank byte is ':' and which is text is Intel HEX;
// one that starts with S0 to S9 and is text is S-record; anything else is a
// raw binary.
Format format_of(const std::uint8_t *content, std::size_t size);

// Reads a whole file, "-" meaning standard input; a file longer than
// MAX_FILE_SIZE is read to one byte past it.
Outcome read_file(const std::string &path, std::vector<std::uint8_t> &content);

// Turns a file's content into an image of at most limit bytes (limit at most
// ADDRESS_SPACE). Checksums are checked, a missing end record and two records
// that give one address different bytes are errors, and start addresses,
// headers and record counts place nothing.
Outcome parse(const std::uint8_t *content, std::size_t size, std::uint32_t limit, Image &image);

}  // namespace firmware

#endif
