// The rules of a flash as a file asks it.
#include "api/rules.h"

#include "protocol/parts.h"
#include "protocol/protocol.h"

#include <stdio.h>

#include <utility>

namespace api {

const efm8_part *part_too_small(const std::vector<uint16_t> &ids, uint32_t count)
{
    size_t parts = 0;
    const efm8_part *table = part_table(&parts);
    for (uint16_t id : ids)
        for (size_t i = 0; i < parts; ++i)
            if (table[i].id == id && !part_holds(&table[i], count))
                return &table[i];
    return NULL;
}

bool starts_application(const firmware::Image &image)
{
    return !image.bytes.empty() && image.bytes[0] != EFM8_ERASED;
}

efm8_image *make_image(firmware::Image image, std::string name)
{
    efm8_image *made = new efm8_image;
    made->image = std::move(image);
    made->name = std::move(name);
    for (const firmware::Check &check : made->image.checks)
        made->checks.push_back({check.start, check.end, check.crc});
    return made;
}

bool disables_bootloader(uint8_t signature)
{
    return ::disables_bootloader(signature);
}

bool bootloader_enabled(uint8_t signature)
{
    return signature == EFM8_SIGNATURE_KEEP;
}

std::optional<firmware::Lock> combine_lock(const std::optional<firmware::Lock> &file,
                                           const std::optional<firmware::Lock> &asked)
{
    if (!file)
        return asked;
    if (!asked)
        return file;
    return firmware::Lock{static_cast<uint8_t>(file->signature & asked->signature),
                          static_cast<uint8_t>(file->lock & asked->lock)};
}

static std::string hex(uint8_t byte)
{
    char text[8];
    snprintf(text, sizeof text, "0x%02X", byte);
    return text;
}

Refusal settle_flash(const efm8_image &image, const efm8_options &asked, efm8_options &settled, std::string &why)
{
    settled = asked;
    const firmware::Image &file = image.image;
    // A boot-record file that does not end by starting the application
    // leaves the board in its bootloader, as replaying it would.
    settled.run = asked.run && (file.format != firmware::Format::BootRecords || file.runs);
    std::optional<firmware::Lock> own;
    if (asked.lock)
        own = firmware::Lock{asked.lock_signature, asked.lock_byte};
    const std::optional<firmware::Lock> lock = combine_lock(file.lock, own);
    settled.lock = lock.has_value();
    if (!lock)
        return Refusal::None;
    settled.lock_signature = lock->signature;
    settled.lock_byte = lock->lock;
    // Short enough for a report's words.
    const std::string whose = file.lock ? "the file's lock" : "the lock";
    if (!settled.verify) {
        why = whose + " is programmed only after a verify, and verify is off";
        return Refusal::LockUnverified;
    }
    if (disables_bootloader(settled.lock_signature) && !settled.allow_disable_bootloader) {
        why = whose + " disables the bootloader for good (signature " + hex(settled.lock_signature) +
              ") without allow_disable_bootloader";
        return Refusal::DisablesBootloader;
    }
    return Refusal::None;
}

}  // namespace api
