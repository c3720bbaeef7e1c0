#include "line/firmware_file.h"

#include "firmware/firmware.h"

#include <kestrane/result.h>

namespace line {

int32_t load_firmware(const std::string &path, bool raw_binary, Firmware &firmware, std::string &error)
{
    firmware.name = path == "-" ? "standard input" : path;
    const firmware::Outcome read = firmware::read_file(path, firmware.content);
    if (!read.ok()) {
        error = read.message;
        return EFM8_ERR_UNREADABLE;
    }
    const auto parse = raw_binary ? firmware::parse_binary : firmware::parse;
    const firmware::Outcome parsed =
        parse(firmware.content.data(), firmware.content.size(), firmware::ADDRESS_SPACE, firmware.image);
    if (!parsed.ok()) {
        error = firmware.name + ": " + parsed.message;
        return EFM8_ERR_BAD_IMAGE;
    }
    return EFM8_OK;
}

}  // namespace line
