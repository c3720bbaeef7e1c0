// The firmware file a command names, read and checked before any board is
// touched.
#ifndef KESTRANE_LINE_FIRMWARE_FILE_H
#define KESTRANE_LINE_FIRMWARE_FILE_H

#include "firmware/image.h"

#include <cstdint>
#include <string>
#include <vector>

namespace line {

struct Firmware {
    std::string name;  // as messages call it
    std::vector<std::uint8_t> content;
    firmware::Image image;
};

// Reads and parses the file at path ("-": standard input), told apart by
// content, or as a raw binary whatever it holds when raw_binary insists.
// Returns EFM8_OK, or EFM8_ERR_UNREADABLE or EFM8_ERR_BAD_IMAGE with the
// reason in error.
int32_t load_firmware(const std::string &path, bool raw_binary, Firmware &firmware, std::string &error);

}  // namespace line

#endif
