#include "line/plan.h"

#include <cstdio>

namespace line {


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

// Programming clears the bits that are 0 in the lock command's signature
// byte; once it no longer holds 0xA5 the bootloader is gone.
bool disables_bootloader(std::uint8_t signature)
{
    return (signature & EFM8_SIGNATURE_KEEP) != EFM8_SIGNATURE_KEEP;
}

bool bootloader_enabled(std::uint8_t signature)
{
    return signature == EFM8_SIGNATURE_KEEP;
}

std::optional<LockPlan> combine_lock(const std::optional<firmware::Lock> &file, const LockRequest &request)
{
    if (!file && !request.asked())
        return std::nullopt;
    // A byte of the lock command that is left erased changes nothing.
    LockPlan lock{file.value_or(firmware::Lock{EFM8_ERASED, EFM8_ERASED}), file.has_value(), request.asked()};
    if (request.pages)
        lock.bytes.lock &= efm8_lock_byte_for(*request.pages);
    if (request.disable_bootloader)
        lock.bytes.signature = EFM8_SIGNATURE_DISABLE;
    return lock;
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
    plan.verify = request.verify;
    plan.delta = request.delta;
    // A boot-record file that does not end by starting the application
    // leaves the board in its bootloader, as replaying it would.
    plan.run = request.run && (image.format != firmware::Format::BootRecords || image.runs);
    for (const firmware::Check &check : image.checks)
        plan.checks.push_back({check.start, check.end, check.crc});
    plan.lock = combine_lock(image.lock, request.lock);
    if (!plan.lock)
        return EFM8_OK;
    // The request's own lock was held to the same rules when it was made.
    if (!plan.verify)
        error = firmware.name + " ends with a lock record, which is programmed only once the flash is verified; "
                                "drop --no-verify";
    else if (disables_bootloader(plan.lock->bytes.signature) && !request.force)
        error = firmware.name + "'s lock record writes " + hex_byte(plan.lock->bytes.signature) +
                " into the bootloader signature byte: the chip would then always start its application and never "
                "enter its bootloader again, which nothing sent over USB or a serial port can undo (only a full "
                "erase through a debugger can). Add --force if that is what you want";
    return error.empty() ? EFM8_OK : EFM8_ERR_OPTIONS;
}

Plan plan_lock(const LockRequest &request)
{
    Plan plan;
    plan.lock = combine_lock(std::nullopt, request);
    return plan;
}

void apply_plan(const Plan &plan, efm8_options &flash)
{
    flash.verify = plan.verify;
    flash.delta = plan.delta;
    flash.run = plan.run;
    flash.checks = plan.checks.data();
    flash.check_count = plan.checks.size();
    flash.lock = plan.lock.has_value();
    if (plan.lock) {
        flash.lock_signature = plan.lock->bytes.signature;
        flash.lock_byte = plan.lock->bytes.lock;
    }
}

}  // namespace line
