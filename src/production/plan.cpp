#include "production/plan.h"

#include "api/rules.h"

#include <cstdio>

namespace production {

std::string hex_byte(std::uint8_t byte)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", byte);
    return text;
}

unsigned pages_locked_by(std::uint8_t lock_byte)
{
    return static_cast<std::uint8_t>(~lock_byte);
}

std::string pages_text(std::uint8_t lock_byte)
{
    const unsigned pages = pages_locked_by(lock_byte);
    if (pages == 0)
        return "no page";
    if (pages == 1)
        return "page 0";
    if (pages == EFM8_LOCK_PAGES_MAX)
        return "every page";
    return "pages 0 to " + std::to_string(pages - 1);
}

bool disables_bootloader(std::uint8_t signature)
{
    return api::disables_bootloader(signature);
}

bool bootloader_enabled(std::uint8_t signature)
{
    return api::bootloader_enabled(signature);
}

// The bytes of the lock command a request asks for: a byte left erased
// changes nothing.
static std::optional<firmware::Lock> requested_lock(const LockRequest &request)
{
    if (!request.asked())
        return std::nullopt;
    firmware::Lock bytes{EFM8_ERASED, EFM8_ERASED};
    if (request.pages)
        bytes.lock = efm8_lock_byte_for(*request.pages);
    if (request.disable_bootloader)
        bytes.signature = EFM8_SIGNATURE_DISABLE;
    return bytes;
}

std::optional<LockPlan> combine_lock(const std::optional<firmware::Lock> &file, const LockRequest &request)
{
    const std::optional<firmware::Lock> bytes = api::combine_lock(file, requested_lock(request));
    if (!bytes)
        return std::nullopt;
    return LockPlan{*bytes, file.has_value(), request.asked()};
}

std::string combined_lock_note(const std::string &file, const std::optional<firmware::Lock> &file_lock,
                               const LockRequest &request, const LockPlan &lock)
{
    if (!file_lock || !request.pages)
        return "";
    const std::uint8_t asked = efm8_lock_byte_for(*request.pages);
    return file + "'s lock record (lock byte " + hex_byte(file_lock->lock) + ": " + pages_text(file_lock->lock) +
           ") and --lock-pages " + std::to_string(*request.pages) + " (" + hex_byte(asked) +
           ") combine bit by bit, as the chip's flash does: lock byte " + hex_byte(lock.bytes.lock) + ", " +
           pages_text(lock.bytes.lock);
}

int32_t plan_flash(const FlashRequest &request, const Firmware &firmware, Plan &plan, std::string &error)
{
    const firmware::Image &image = firmware.image;
    plan = Plan{};
    efm8_options &asked = plan.asked;
    asked.verify = request.verify;
    asked.delta = request.delta;
    asked.run = request.run;
    asked.write_size = request.write_size;
    asked.allow_disable_bootloader = request.force;
    if (const std::optional<firmware::Lock> own = requested_lock(request.lock)) {
        asked.lock = 1;
        asked.lock_signature = own->signature;
        asked.lock_byte = own->lock;
    }
    // The library settles the run and the lock, and refuses what it would
    // refuse on every board; the words are the command line's own.
    efm8_options settled = EFM8_OPTIONS_INIT;
    const int32_t result = efm8_image_flash_options(firmware.library.get(), &asked, &settled, nullptr, 0);
    plan.verify = settled.verify;
    plan.delta = settled.delta;
    plan.run = settled.run;
    plan.blank_start = !api::starts_application(image);
    for (const firmware::Check &check : image.checks)
        plan.checks.push_back({check.start, check.end, check.crc});
    if (settled.lock)
        plan.lock = LockPlan{{settled.lock_signature, settled.lock_byte}, image.lock.has_value(), request.lock.asked()};
    if (result == EFM8_OK)
        return EFM8_OK;
    // The request's own lock was held to the same rules when it was made.
    if (!request.verify)
        error = firmware.name + " ends with a lock record, which is programmed only once the flash is verified; "
                                "drop --no-verify";
    else
        error = firmware.name + "'s lock record writes " + hex_byte(settled.lock_signature) +
                " into the bootloader signature byte: the chip would then always start its application and never "
                "enter its bootloader again, which nothing sent over USB or a serial port can undo (only a full "
                "erase through a debugger can). Add --force if that is what you want";
    return result;
}

Plan plan_lock(const LockRequest &request)
{
    Plan plan;
    plan.lock = combine_lock(std::nullopt, request);
    return plan;
}

}  // namespace production

namespace production {

std::string too_large_for_parts(const std::vector<std::uint16_t> &ids, const firmware::Image &image)
{
    const std::uint32_t size = static_cast<std::uint32_t>(image.bytes.size());
    const efm8_part *part = api::part_too_small(ids, size);
    if (part == nullptr)
        return "";
    char limit[32];
    std::snprintf(limit, sizeof limit, "0x0000-0x%04X", part->app_limit - 1);
    return "the image is " + std::to_string(size) + " bytes, larger than " + part->name + "'s application area of " +
           std::to_string(part->app_limit) + " bytes (" + limit + ")";
}

}  // namespace production
