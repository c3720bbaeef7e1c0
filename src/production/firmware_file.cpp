#include "production/firmware_file.h"

#include "api/rules.h"
#include "firmware/firmware.h"

#include <kestrane/result.h>

#include <new>

namespace production {

std::shared_ptr<const efm8_image> library_image(const firmware::Image &image, const std::string &name)
{
    try {
        return std::shared_ptr<const efm8_image>(api::make_image(image, name), efm8_image_free);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

int32_t load_firmware(const std::string &path, const std::optional<firmware::Format> &format, Firmware &firmware,
                      std::string &error)
{
    firmware.name = path == "-" ? "standard input" : path;
    const firmware::Outcome read = firmware::read_file(path, firmware.content);
    if (!read.ok()) {
        error = read.message;
        return EFM8_ERR_UNREADABLE;
    }
    const std::uint8_t *content = firmware.content.data();
    const std::size_t size = firmware.content.size();
    const firmware::Outcome parsed =
        format ? firmware::parse_as(content, size, firmware::ADDRESS_SPACE, *format, firmware.image)
               : firmware::parse(content, size, firmware::ADDRESS_SPACE, firmware.image);
    if (!parsed.ok()) {
        error = firmware.name + ": " + parsed.message;
        return EFM8_ERR_BAD_IMAGE;
    }
    firmware.library = library_image(firmware.image, firmware.name);
    if (firmware.library == nullptr) {
        error = firmware.name + ": out of memory";
        return EFM8_ERR_MEMORY;
    }
    return EFM8_OK;
}

}  // namespace production
