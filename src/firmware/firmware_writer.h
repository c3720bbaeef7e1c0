// Writing an image as a firmware file: boot records, Intel HEX, S-records
// or a raw binary, each of which the loader reads back to the same image.
#ifndef KESTRANE_FIRMWARE_WRITER_H
#define KESTRANE_FIRMWARE_WRITER_H

#include "firmware/boot_records.h"
#include "firmware/image.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace firmware {

// "efm8", "hex", "srec" or "bin"; nothing for any other name.
std::optional<Format> format_named(const std::string &name);

// By a file name's extension, in any case: .efm8; .hex or .ihx; .s19, .s28,
// .s37, .srec or .mot; .bin. Nothing for any other.
std::optional<Format> format_for_file_name(const std::string &path);

// The image (bytes from address 0, at most ADDRESS_SPACE) as a file of the
// format; options shape boot records only. HEX and S-records leave out
// 32-byte blocks that are all 0xFF, which the loader fills back in, except
// the one holding the last byte. A raw binary that would read back as
// another format (it starts with '$', or is all text) is refused.
Outcome encode(const std::vector<std::uint8_t> &bytes, Format format, const BootRecordOptions &options,
               std::vector<std::uint8_t> &content);

// Writes content to the file at path, made or emptied first, "-" meaning
// standard output.
Outcome write_file(const std::string &path, const std::vector<std::uint8_t> &content);

}  // namespace firmware

#endif
