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

int list_boards(const Options &options)
{
    const std::vector<efm8_device> boards = attached_boards();
    if (options.json) {
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (const efm8_device &board : boards)
            list.push_back({{"path", board.path},
                            {"vendor_id", board.vendor_id},
                            {"product_id", board.product_id},
                            {"family", board.family}});
        std::cout << list.dump() << "\n";
        return 0;
    }
    for (const efm8_device &board : boards)
        std::printf("%s  %s  %04x:%04x\n", board.path, board.family, board.vendor_id, board.product_id);
    return 0;
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

Job flash_job(const Options &options, const Firmware &firmware, Progress *progress)
{
    Job job;
    job.work = [&options, &firmware, progress](efm8_session *session, std::size_t index, Outcome &outcome) {
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

static const char *result_word(int exit_code)
{
    switch (exit_code) {
    case 0: return "ok";
    case EXIT_MISMATCH: return "mismatch";
    case EX_USAGE: return "usage";
    case EX_DATAERR: return "bad-image";
    case EX_UNAVAILABLE: return "no-device";
    case EX_PROTOCOL: return "refused";
    case EX_NOPERM: return "no-permission";
    default: return "transfer-failed";
    }
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
        {"family", outcome.device.family},
        {"result", result_word(outcome.exit_code)},
        {"exit_code", outcome.exit_code},
        {"message", outcome.message},
        {"bytes_written", outcome.report.bytes_written},
        {"commands", outcome.report.commands},
        {"pages_skipped", outcome.report.pages_skipped},
        {"seconds", outcome.seconds},
    };
    if (command == Command::Verify)
        object["pages_differ"] = differing_pages(outcome.report);
    if (!time.empty())
        object["time"] = time;
    return object.dump();
}

static std::string what_was_done(const Outcome &outcome, Command command, const Options &options)
{
    const efm8_report &report = outcome.report;
    if (command == Command::Run)
        return "started";
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
    std::string line = std::string(outcome.device.path) + "  " + outcome.device.family + "  ";
    if (outcome.exit_code == 0 || (command == Command::Verify && outcome.exit_code == EXIT_MISMATCH))
        return line + result_word(outcome.exit_code) + "  " + what_was_done(outcome, command, options) + "  " + seconds;
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
    const std::vector<Outcome> outcomes = run_on_boards(boards, make_job(progress), progress);
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

int run_application(const Options &options)
{
    std::vector<efm8_device> boards;
    std::string error;
    const int status = choose_boards(options, boards, error);
    if (status != 0) {
        complain(error);
        return status;
    }
    return run_command(options, boards, Progress::Style::Silent, [](Progress &) { return run_job(); });
}

}  // namespace cli
