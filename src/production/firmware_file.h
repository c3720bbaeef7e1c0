// The firmware file a command names, read and checked before any board is
// touched.
#ifndef KESTRANE_PRODUCTION_FIRMWARE_FILE_H
#define KESTRANE_PRODUCTION_FIRMWARE_FILE_H

#include "firmware/image.h"
#include <kestrane/image.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace production {

struct Firmware {
    std::string name;  // as messages call it
    std::vector<std::uint8_t> content;
    firmware::Image image;
    // The same image as the library flashes it, as its file asks.
    std::shared_ptr<const efm8_image> library;
};

// Reads and parses the file at path ("-": standard input), told apart by
// content, or as the format a user insists on (a raw binary whatever it
// holds, or else refused, the line named, when it is not that format).
// Returns EFM8_OK, or EFM8_ERR_UNREADABLE, EFM8_ERR_BAD_IMAGE or
// EFM8_ERR_MEMORY with the reason in error.
int32_t load_firmware(const std::string &path, const std::optional<firmware::Format> &format, Firmware &firmware,
                      std::string &error);

// The library's image of these contents (a serial number placed into a
// copy of a file's), named as the file is; NULL when out of memory.
std::shared_ptr<const efm8_image> library_image(const firmware::Image &image, const std::string &name);

}  // namespace production

#endif
