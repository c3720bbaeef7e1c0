// What a firmware file becomes: an image from address 0 and, from a
// boot-record file, what else it asks for; and what went wrong. Shared by
// the loader, its readers and its writers.
#ifndef KESTRANE_FIRMWARE_IMAGE_H
#define KESTRANE_FIRMWARE_IMAGE_H

#include <kestrane/board.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace firmware {

constexpr uint32_t ADDRESS_SPACE = EFM8_ADDRESS_SPACE;  // what a 16-bit flash address reaches
// Far beyond any EFM8 image in any of the formats; a longer file is not one.
constexpr std::size_t MAX_FILE_SIZE = 4 << 20;

// BootRecords: the bootloader's own records, back to back (boot_records.h).
enum class Format { Binary, IntelHex, SRecord, BootRecords };

enum class Problem {
    None,
    Unreadable,  // the file could not be opened or read
    Empty,       // a raw binary with nothing in it
    Malformed,   // HEX, S-record or boot records that do not parse, or hold no data
    TooLarge,    // data beyond the limit
    // What Kestrane does not do: a setup bank other than 0; writing with a
    // write size outside 1 to 128, or a raw binary that would not read back
    // as one.
    Unsupported,
    Unwritable,  // an output file could not be written
};

// A CRC-16 check a boot-record file asks for with a verify record.
struct Check {
    std::uint16_t start;
    std::uint16_t end;  // inclusive
    std::uint16_t crc;
};

// A boot-record file's lock record: a byte of 0xFF leaves that byte as it
// is; a lock byte of n's ones' complement locks pages 0 to n-1.
struct Lock {
    std::uint8_t signature;
    std::uint8_t lock;
};

struct Image {
    Format format = Format::Binary;
    // Address 0 up to the highest address written; gaps hold 0xFF.
    std::vector<std::uint8_t> bytes;
    // What a boot-record file asks besides its bytes; other formats ask
    // none of it. The file is meant for the parts that answer one of the
    // ids (none: any part); its checks are made, and its lock programmed,
    // once the image is verified.
    std::vector<std::uint16_t> ids;
    std::vector<Check> checks;
    std::optional<Lock> lock;
    bool runs = false;  // it ends by starting the application
};

struct Outcome {
    Problem problem = Problem::None;
    // What is wrong, e.g. "line 12: checksum mismatch (01 != 00)".
    std::string message;
    bool ok() const { return problem == Problem::None; }
};

}  // namespace firmware

#endif
