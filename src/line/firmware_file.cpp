#include "line/firmware_file.h"

#include "firmware/firmware.h"

#include <sysexits.h>

namespace line {

int load_firmware(const std::string &path, Firmware &firmware, std::string &error)
{
    firmware.name = path == "-" ? "standard input" : path;
    const firmware::Outcome read = firmware::read_file(path, firmware.content);
    if (!read.ok()) {
        error = read.message;
        return EX_NOINPUT;
    }
    const firmware::Outcome parsed = firmware::parse(firmware.content.data(), firmware.content.size(),
                                                     firmware::ADDRESS_SPACE, firmware.image);
    if (!parsed.ok()) {
        error = firmware.name + ": " + parsed.message;
        return EX_DATAERR;
    }
    return 0;
}

}  // namespace line
