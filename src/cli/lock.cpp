// lock: the chip's lock and signature bytes on their own, and what any lock
// did, as its reports say it. The bytes are read back by CRC after locking;
// a part whose lock address the table lacks cannot be read back.
#include "cli/commands.h"

#include "production/jobs.h"

#include <nlohmann/json.hpp>

namespace cli {

// The bytes as read back: -1 when they could not be, or when the lock was
// never sent.
static int32_t lock_read_back(const efm8_report &report)
{
    return report.locked ? report.lock_value : -1;
}

static int32_t signature_read_back(const efm8_report &report)
{
    return report.locked ? report.signature_value : -1;
}

// "lock byte now 0xFC: pages 0 to 2 locked", with what was asked when the
// chip's earlier lock makes it more.
static std::string lock_byte_text(int32_t value, std::uint8_t asked)
{
    if (value < 0)
        return "lock byte " + production::hex_byte(asked) + " sent (" + production::pages_text(asked) + ")";
    const std::uint8_t held = static_cast<std::uint8_t>(value);
    std::string text = "lock byte now " + production::hex_byte(held) + ": " + production::pages_text(held) + " locked";
    if (held != asked)
        text += " (" + production::hex_byte(asked) + " asked; a lock only adds to the chip's earlier one)";
    return text;
}

static std::string signature_text(int32_t value, std::uint8_t asked)
{
    if (value < 0)
        return "signature byte " + production::hex_byte(asked) + " sent";
    const std::uint8_t held = static_cast<std::uint8_t>(value);
    return "signature byte now " + production::hex_byte(held) + ": bootloader " +
           (production::bootloader_enabled(held) ? "kept" : "disabled for good");
}

std::string lock_text(const production::Outcome &outcome)
{
    const firmware::Lock &asked = outcome.plan.lock->bytes;
    const efm8_report &report = outcome.report;
    const int32_t lock = lock_read_back(report), signature = signature_read_back(report);
    std::string text = lock_byte_text(lock, asked.lock) + ", " + signature_text(signature, asked.signature);
    if (lock < 0 || signature < 0)
        text += report.part == nullptr ? "; not read back: where this part keeps its lock byte is not known"
                                       : "; not read back: the bootloader would not check it";
    return text;
}

static nlohmann::ordered_json byte_or_null(int32_t value)
{
    return value >= 0 ? nlohmann::ordered_json(value) : nlohmann::ordered_json(nullptr);
}

nlohmann::ordered_json lock_json(const production::Outcome &outcome)
{
    if (!outcome.plan.lock)
        return nullptr;
    const firmware::Lock &bytes = outcome.plan.lock->bytes;
    const int32_t lock = lock_read_back(outcome.report), signature = signature_read_back(outcome.report);
    const nlohmann::ordered_json asked = {
        {"lock_byte", bytes.lock},
        {"pages", production::pages_locked_by(bytes.lock)},
        {"signature_byte", bytes.signature},
        {"disables_bootloader", production::disables_bootloader(bytes.signature)},
        {"from_file", outcome.plan.lock->from_file},
        {"from_options", outcome.plan.lock->from_options},
    };
    nlohmann::ordered_json object = {
        {"asked", asked},
        {"sent", outcome.report.locked != 0},
        {"lock_byte", byte_or_null(lock)},
        {"pages_locked", nullptr},
        {"signature_byte", byte_or_null(signature)},
        {"bootloader_enabled", nullptr},
    };
    if (lock >= 0)
        object["pages_locked"] = production::pages_locked_by(static_cast<std::uint8_t>(lock));
    if (signature >= 0)
        object["bootloader_enabled"] = production::bootloader_enabled(static_cast<std::uint8_t>(signature));
    return object;
}

int lock(const Options &options)
{
    std::vector<efm8_device> boards;
    const int status = choose_boards(options, boards);
    if (status != 0)
        return status;
    const production::Plan plan = production::plan_lock(lock_request(options));
    return run_command(options, boards, Progress::Style::Silent,
                       [&plan](Progress &) { return production::lock_job(plan); });
}

}  // namespace cli
