// Each board's result, as a line of text or a JSON object.
#include "cli/commands.h"
#include "cli/json_text.h"
#include "station/database.h"

#include <nlohmann/json.hpp>

#include <cstdio>

namespace cli {

static const char *part_name(const production::Outcome &outcome)
{
    return outcome.report.part != nullptr ? outcome.report.part->name : nullptr;
}

// Over USB the family is known from the product id before anything is sent.
static const char *family_name(const production::Outcome &outcome)
{
    return outcome.report.family != nullptr ? outcome.report.family->name : outcome.device.family;
}

// The part, or else its family, as far as the board said.
static std::string board_name(const production::Outcome &outcome)
{
    const char *name = part_name(outcome) != nullptr ? part_name(outcome) : family_name(outcome);
    return name != nullptr ? name : "unknown";
}

static nlohmann::ordered_json name_or_null(const char *name)
{
    return name != nullptr ? nlohmann::ordered_json(name) : nlohmann::ordered_json(nullptr);
}

static const char *interface_word(efm8_interface interface)
{
    return interface == EFM8_UART ? "uart" : "usb";
}

// What identify found; null for what is not known.
static void add_identity(nlohmann::ordered_json &object, const production::Outcome &outcome)
{
    const efm8_identity &identity = outcome.identity;
    const bool answered = outcome.ok();
    const bool part = answered && identity.part != nullptr;
    const bool family = answered && identity.family != nullptr;
    object["flash_size"] = part ? nlohmann::ordered_json(identity.part->flash_size) : nullptr;
    object["app_limit"] = part ? nlohmann::ordered_json(identity.app_limit) : nullptr;
    object["app_limit_inferred"] = part ? nlohmann::ordered_json(identity.part->limit_inferred != 0) : nullptr;
    object["page_size"] = family ? nlohmann::ordered_json(identity.page_size) : nullptr;
    object["bootloader_version"] = answered ? nlohmann::ordered_json(identity.version) : nullptr;
}

static std::vector<uint32_t> differing_pages(const efm8_report &report)
{
    std::vector<uint32_t> pages;
    for (uint32_t page = 0; page < EFM8_MAX_PAGES; ++page)
        if (efm8_page_differs(&report, page))
            pages.push_back(page);
    return pages;
}

// Why a flashed chip whose run was asked still is not started.
static const char NO_START[] = "the image has no data at address 0, so byte 0 stays 0xFF and the chip stays in its "
                               "bootloader";

std::string outcome_json(const production::Outcome &outcome, Command command, const std::string &time)
{
    nlohmann::ordered_json object = {
        {"path", outcome.device.path},
        {"interface", interface_word(outcome.device.interface)},
        {"part", name_or_null(part_name(outcome))},
        {"family", name_or_null(family_name(outcome))},
        {"result", efm8_result_name(outcome.result)},
        {"exit_code", outcome.exit_code()},
        {"message", outcome.message},
        {"commands", outcome.report.commands},
        {"seconds", outcome.seconds},
    };
    if (command == Command::Flash || command == Command::Watch) {
        object["bytes_written"] = outcome.report.bytes_written;
        object["pages_skipped"] = outcome.report.pages_skipped;
        object["started"] = outcome.ok() && outcome.plan.run && !outcome.plan.blank_start;
        object["not_started"] = !outcome.ok() ? nlohmann::ordered_json(nullptr)
                                : !outcome.plan.run ? nlohmann::ordered_json("left in its bootloader, as asked")
                                : outcome.plan.blank_start ? nlohmann::ordered_json(NO_START)
                                                           : nlohmann::ordered_json(nullptr);
        object["serial"] = outcome.serial ? nlohmann::ordered_json(*outcome.serial) : nlohmann::ordered_json(nullptr);
        object["tries"] = outcome.tries;
        object["record_error"] = outcome.record_error.empty() ? nlohmann::ordered_json(nullptr)
                                                              : nlohmann::ordered_json(outcome.record_error);
    }
    if (command == Command::Flash || command == Command::Watch || command == Command::Lock)
        object["lock"] = lock_json(outcome);
    if (command == Command::Verify)
        object["pages_differ"] = differing_pages(outcome.report);
    if (command == Command::Identify)
        add_identity(object, outcome);
    if (!time.empty())
        object["time"] = time;
    return json_text(object);
}

static const uint8_t BOOTLOADER_1_0 = 0x90;  // the only version byte whose meaning is documented

// "flash 64 KB, application limit 0xFA00, 512-byte pages, bootloader 0x90 (1.0)"
// A part of a known family that the table lacks is not documented; with
// no family either, nothing is known.
static std::string identity_text(const efm8_identity &identity)
{
    const std::string missing = identity.family != nullptr ? "not documented" : "unknown";
    std::string flash = "flash " + missing, limit = "application limit " + missing, pages = "page size " + missing;
    char text[64];
    if (identity.part != nullptr) {
        flash = "flash " + std::to_string(identity.part->flash_size / 1024) + " KB";
        std::snprintf(text, sizeof text, "application limit 0x%04X%s", identity.app_limit,
                      identity.part->limit_inferred ? " (inferred)" : "");
        limit = text;
    }
    if (identity.family != nullptr)
        pages = std::to_string(identity.page_size) + "-byte pages";
    std::snprintf(text, sizeof text, "bootloader 0x%02X%s", static_cast<unsigned>(identity.version),
                  identity.version == BOOTLOADER_1_0 ? " (1.0)" : "");
    return flash + ", " + limit + ", " + pages + ", " + text;
}

static std::string what_was_done(const production::Outcome &outcome, Command command)
{
    const efm8_report &report = outcome.report;
    if (command == Command::Run)
        return "started";
    if (command == Command::Lock)
        return lock_text(outcome);
    if (command == Command::Identify)
        return identity_text(outcome.identity);
    if (command == Command::Verify) {
        if (outcome.ok())
            return "matches the image";
        std::string pages = "differs in page";
        pages += report.pages_differ == 1 ? "" : "s";
        const char *separator = " ";
        for (uint32_t page : differing_pages(report)) {
            char text[32];
            std::snprintf(text, sizeof text, "%s%u (0x%04X)", separator, page, page * report.page_size);
            pages += text;
            separator = ", ";
        }
        return pages;
    }
    const production::Plan &plan = outcome.plan;
    std::string done = std::to_string(report.bytes_written) + " bytes written";
    if (plan.delta)
        done += ", " + std::to_string(report.pages_skipped) + " pages already held the image";
    if (plan.verify)
        done += ", verified";
    if (!plan.checks.empty())
        done += ", the file's " + std::to_string(plan.checks.size()) + " verify record" +
                (plan.checks.size() == 1 ? "" : "s") + " checked";
    if (plan.lock)
        done += ", " + lock_text(outcome);
    done += !plan.run ? ", left in its bootloader" : plan.blank_start ? std::string(", not started: ") + NO_START
                                                                       : ", started";
    if (outcome.serial)
        done += ", serial number " + std::to_string(*outcome.serial);
    return done;
}

// "", or "after 2 tries  " when it took more than one.
static std::string tries_text(const production::Outcome &outcome)
{
    return outcome.tries > 1 ? "after " + std::to_string(outcome.tries) + " tries  " : "";
}

std::string outcome_text(const production::Outcome &outcome, Command command)
{
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f s", outcome.seconds);
    std::string line = station::escaped(outcome.device.path) + "  " + board_name(outcome) + "  " +
                       (outcome.device.interface == EFM8_UART ? "UART" : "USB") + "  ";
    if (outcome.ok() || (command == Command::Verify && outcome.report.result == EFM8_ERR_MISMATCH))
        return line + efm8_result_name(outcome.result) + "  " + what_was_done(outcome, command) + "  " + tries_text(outcome) +
               seconds;
    const std::string serial = outcome.serial ? "serial number " + std::to_string(*outcome.serial) + " void  " : "";
    return line + "failed (exit " + std::to_string(outcome.exit_code()) + ")  " + serial + tries_text(outcome) + seconds;
}

}  // namespace cli
