#include "cli/commands.h"

#include "cli/progress.h"

#include <nlohmann/json.hpp>
#include <sysexits.h>

#include <cstdio>
#include <functional>
#include <iostream>

namespace cli {

void complain(const std::string &message)
{
    std::fprintf(stderr, "kestrane-cli: %s\n", message.c_str());
}

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

// "the EFM8BB10F8G-QSOP24 (0x3001)", or "id 0x3001" for one the table lacks.
static std::string part_of_id(uint16_t id)
{
    std::size_t count;
    const efm8_part *parts = efm8_parts(&count);
    char text[64];
    std::snprintf(text, sizeof text, "id 0x%04X", id);
    for (std::size_t i = 0; i < count; ++i)
        if (parts[i].id == id)
            std::snprintf(text, sizeof text, "the %s (0x%04X)", parts[i].name, id);
    return text;
}

// A file meant for some parts only (a boot-record file's identify records)
// is held against the board before anything is erased or compared.
static int32_t check_part(efm8_session *session, const Firmware &firmware, Outcome &outcome)
{
    const std::vector<std::uint16_t> &ids = firmware.image.ids;
    const int32_t result = ids.empty() ? EFM8_OK : efm8_check_ids(session, ids.data(), ids.size(), &outcome.report);
    if (result != EFM8_ERR_WRONG_PART)
        return result;
    outcome.message = firmware.name + " is for ";
    for (std::size_t i = 0; i < ids.size(); ++i)
        outcome.message += (i == 0 ? "" : i + 1 < ids.size() ? ", " : " or ") + part_of_id(ids[i]);
    const efm8_report &report = outcome.report;
    const char *board = report.part != nullptr ? report.part->name
                        : report.family != nullptr ? report.family->name
                                                   : "board";
    outcome.message += std::string(", not this ") + board;
    return result;
}

Job flash_job(const Options &options, const Firmware &firmware, Progress *progress)
{
    Job job;
    job.work = [&options, &firmware, progress](efm8_session *session, std::size_t index, Outcome &outcome) {
        const int32_t checked = check_part(session, firmware, outcome);
        if (checked != EFM8_OK)
            return checked;
        efm8_options flash;
        efm8_default_options(&flash);
        flash.verify = options.verify;
        flash.delta = options.delta;
        flash.run = options.run;
        flash.write_size = options.write_size;
        if (progress != nullptr) {
            flash.progress = Progress::report;
            flash.progress_user = progress->progress_user(index);
        }
        const std::vector<std::uint8_t> &bytes = firmware.image.bytes;
        return efm8_flash(session, bytes.data(), static_cast<uint32_t>(bytes.size()), &flash, &outcome.report);
    };
    return job;
}

static Job verify_job(const Firmware &firmware)
{
    Job job;
    job.work = [&firmware](efm8_session *session, std::size_t, Outcome &outcome) {
        const int32_t checked = check_part(session, firmware, outcome);
        if (checked != EFM8_OK)
            return checked;
        const std::vector<std::uint8_t> &bytes = firmware.image.bytes;
        return efm8_verify(session, bytes.data(), static_cast<uint32_t>(bytes.size()), &outcome.report);
    };
    return job;
}

static Job run_job()
{
    Job job;
    job.work = [](efm8_session *session, std::size_t, Outcome &outcome) { return efm8_run(session, &outcome.report); };
    return job;
}

static Job identify_job()
{
    Job job;
    job.work = [](efm8_session *session, std::size_t, Outcome &outcome) {
        return efm8_identify(session, &outcome.identity, &outcome.report);
    };
    return job;
}

static const char *result_word(const Outcome &outcome)
{
    if (outcome.report.result == EFM8_ERR_WRONG_PART)
        return "wrong-part";
    switch (outcome.exit_code) {
    case 0: return "ok";
    case EXIT_MISMATCH: return "mismatch";
    case EX_USAGE: return "usage";
    case EX_DATAERR: return "bad-image";
    case EX_UNAVAILABLE: return "no-device";
    case EX_PROTOCOL: return "refused";
    case EX_NOPERM: return "no-permission";
    case EX_TEMPFAIL: return "busy";
    default: return "transfer-failed";
    }
}

static const char *part_name(const Outcome &outcome)
{
    return outcome.report.part != nullptr ? outcome.report.part->name : nullptr;
}

// Over USB the family is known from the product id before anything is sent.
static const char *family_name(const Outcome &outcome)
{
    return outcome.report.family != nullptr ? outcome.report.family->name : outcome.device.family;
}

// The part, or else its family, as far as the board said.
static std::string board_name(const Outcome &outcome)
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
static void add_identity(nlohmann::ordered_json &object, const Outcome &outcome)
{
    const efm8_identity &identity = outcome.identity;
    const bool answered = outcome.exit_code == 0;
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

std::string outcome_json(const Outcome &outcome, Command command, const std::string &time)
{
    nlohmann::ordered_json object = {
        {"path", outcome.device.path},
        {"interface", interface_word(outcome.device.interface)},
        {"part", name_or_null(part_name(outcome))},
        {"family", name_or_null(family_name(outcome))},
        {"result", result_word(outcome)},
        {"exit_code", outcome.exit_code},
        {"message", outcome.message},
        {"commands", outcome.report.commands},
        {"seconds", outcome.seconds},
    };
    if (command == Command::Flash || command == Command::Watch) {
        object["bytes_written"] = outcome.report.bytes_written;
        object["pages_skipped"] = outcome.report.pages_skipped;
    }
    if (command == Command::Verify)
        object["pages_differ"] = differing_pages(outcome.report);
    if (command == Command::Identify)
        add_identity(object, outcome);
    if (!time.empty())
        object["time"] = time;
    return object.dump();
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

static std::string what_was_done(const Outcome &outcome, Command command, const Options &options)
{
    const efm8_report &report = outcome.report;
    if (command == Command::Run)
        return "started";
    if (command == Command::Identify)
        return identity_text(outcome.identity);
    if (command == Command::Verify) {
        if (outcome.exit_code == 0)
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
    std::string done = std::to_string(report.bytes_written) + " bytes written";
    if (options.delta)
        done += ", " + std::to_string(report.pages_skipped) + " pages already held the image";
    if (options.verify)
        done += ", verified";
    if (options.run)
        done += ", started";
    return done;
}

std::string outcome_text(const Outcome &outcome, Command command, const Options &options)
{
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f s", outcome.seconds);
    std::string line = std::string(outcome.device.path) + "  " + board_name(outcome) + "  " +
                       (outcome.device.interface == EFM8_UART ? "UART" : "USB") + "  ";
    if (outcome.exit_code == 0 || (command == Command::Verify && outcome.exit_code == EXIT_MISMATCH))
        return line + result_word(outcome) + "  " + what_was_done(outcome, command, options) + "  " + seconds;
    return line + "failed (exit " + std::to_string(outcome.exit_code) + ")  " + seconds;
}

// Errors on standard error, always; results on standard output, as JSON or
// (unless --quiet) text.
static void print_outcomes(const std::vector<Outcome> &outcomes, Command command, const Options &options)
{
    for (const Outcome &outcome : outcomes)
        if (outcome.exit_code != 0)
            complain(std::string(outcome.device.path) + ": " + outcome.message);
    for (const Outcome &outcome : outcomes) {
        if (options.json)
            std::cout << outcome_json(outcome, command) << "\n";
        else if (!options.quiet)
            std::cout << outcome_text(outcome, command, options) << "\n";
    }
    std::cout.flush();
}

static int run_command(const Options &options, const std::vector<efm8_device> &boards, Progress::Style style,
                       const std::function<Job(Progress &)> &make_job)
{
    Progress progress(style, boards);
    Job job = make_job(progress);
    job.port = port_settings(options);
    const std::vector<Outcome> outcomes = run_on_boards(boards, job, progress);
    print_outcomes(outcomes, options.command, options);
    return overall_exit_code(outcomes);
}

int flash_or_verify(const Options &options)
{
    Firmware firmware;
    std::string error;
    int status = load_firmware(options.file, firmware, error);
    std::vector<efm8_device> boards;
    if (status == 0)
        status = choose_boards(options, boards, error);
    if (status != 0) {
        complain(error);
        return status;
    }
    // Only a flash takes long enough to want a bar.
    if (options.command == Command::Verify)
        return run_command(options, boards, Progress::Style::Silent, [&](Progress &) { return verify_job(firmware); });
    return run_command(options, boards, Progress::style_for(options.quiet),
                       [&](Progress &progress) { return flash_job(options, firmware, &progress); });
}

int run_or_identify(const Options &options)
{
    std::vector<efm8_device> boards;
    std::string error;
    const int status = choose_boards(options, boards, error);
    if (status != 0) {
        complain(error);
        return status;
    }
    const bool run = options.command == Command::Run;
    return run_command(options, boards, Progress::Style::Silent,
                       [run](Progress &) { return run ? run_job() : identify_job(); });
}

}  // namespace cli
