// The commands that work on boards with a file or without: flash, verify,
// run and identify; what they share with watch and lock.
#include "cli/commands.h"

#include "production/jobs.h"
#include "production/line.h"
#include "station/database.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace cli {

// Each line of a message escaped where it holds a control character: a
// name that no caller escaped (a file's, a port's) writes nothing onto the
// operator's terminal either.
void complain(const std::string &message)
{
    std::string lines;
    for (std::size_t start = 0, end; start <= message.size(); start = end + 1) {
        end = std::min(message.find('\n', start), message.size());
        lines += (start == 0 ? "" : "\n") + station::escaped(message.substr(start, end - start));
    }
    std::fprintf(stderr, "kestrane-cli: %s\n", lines.c_str());
}

production::Choice board_choice(const Options &options)
{
    production::Choice choice;
    choice.ports = options.ports;
    choice.devices = options.devices;
    choice.all = options.all;
    choice.wait = options.wait;
    choice.wait_seconds = options.wait_seconds;
    choice.enter_hid = options.enter_hid;
    return choice;
}

efm8_port_settings port_settings(const Options &options)
{
    efm8_port_settings settings;
    efm8_default_port_settings(&settings);
    if (options.baud != 0)
        settings.baud = options.baud;
    if (options.timeout_ms != 0)
        settings.timeout_ms = options.timeout_ms;
    return settings;
}

production::LockRequest lock_request(const Options &options)
{
    production::LockRequest lock;
    lock.pages = options.lock_pages;
    lock.disable_bootloader = options.disable_bootloader;
    return lock;
}

std::string chosen_database(const Options &options)
{
    const char *environment = std::getenv("KESTRANE_DB");
    return !options.db.empty() || environment == nullptr ? options.db : environment;
}

production::Settings line_settings(const Options &options)
{
    production::Settings settings;
    settings.file = options.file;
    settings.input_format = options.input_format;
    settings.flash.verify = options.verify;
    settings.flash.delta = options.delta;
    settings.flash.run = options.run;
    settings.flash.write_size = options.write_size;
    settings.flash.lock = lock_request(options);
    settings.flash.force = options.force;
    settings.port = port_settings(options);
    settings.serial_at = options.serial_at;
    settings.counter = options.counter;
    settings.db = options.record ? chosen_database(options) : "";
    settings.station = options.station;
    settings.record = options.record;
    settings.retries = options.retries;
    settings.retry_wait_seconds = options.wait ? options.wait_seconds : production::RETRY_WAIT_SECONDS;
    settings.entry = options.entry;
    return settings;
}

int choose_boards(const Options &options, std::vector<efm8_device> &boards)
{
    std::string error;
    const int32_t result = production::choose_boards(board_choice(options), boards, error, [&options](const std::string &text) {
        if (!options.quiet)
            std::fprintf(stderr, "%s\n", text.c_str());
    });
    if (result != EFM8_OK)
        complain(error);
    return efm8_result_exit_status(result);
}

// Errors on standard error, always; results on standard output, as JSON or
// (unless --quiet) text.
static void print_outcomes(const std::vector<production::Outcome> &outcomes, Command command, const Options &options)
{
    for (const production::Outcome &outcome : outcomes) {
        if (!outcome.ok())
            complain(station::escaped(outcome.device.path) + ": " + outcome.message);
        if (!outcome.record_error.empty())
            complain(station::escaped(outcome.device.path) + ": " + outcome.record_error);
    }
    for (const production::Outcome &outcome : outcomes) {
        if (options.json)
            std::cout << outcome_json(outcome, command) << "\n";
        else if (!options.quiet)
            std::cout << outcome_text(outcome, command) << "\n";
    }
    std::cout.flush();
}

int run_command(const Options &options, const std::vector<efm8_device> &boards, Progress::Style style,
                const std::function<production::Job(Progress &)> &make_job)
{
    Progress progress(style, boards);
    production::Job job = make_job(progress);
    job.port = port_settings(options);
    job.entry = options.entry;
    const std::vector<production::Outcome> outcomes = production::run_on_boards(
        boards, job, [&progress](std::size_t index, const production::Outcome &outcome) { progress.finish(index, outcome); });
    print_outcomes(outcomes, options.command, options);
    return production::overall_exit_code(outcomes);
}

static int flash(const Options &options)
{
    const production::Settings settings = line_settings(options);
    production::Firmware firmware;
    production::Plan plan;
    production::Record record(complain);
    std::string error;
    const int32_t prepared = production::prepare_line(settings, firmware, plan, record, error);
    if (prepared != EFM8_OK) {
        complain(error);
        return efm8_result_exit_status(prepared);
    }
    std::vector<efm8_device> boards;
    const int chosen = choose_boards(options, boards);
    if (chosen != 0)
        return chosen;
    if (plan.lock && !options.quiet) {
        const std::string note =
            production::combined_lock_note(firmware.name, firmware.image.lock, settings.flash.lock, *plan.lock);
        if (!note.empty())
            complain(note);
    }
    const production::Line line = production::line_for(settings, record, complain);
    return run_command(options, boards, Progress::style_for(options.quiet), [&](Progress &progress) {
        production::ProgressSink sink{Progress::report, [&progress](std::size_t board) { return progress.progress_user(board); }};
        return production::flash_job(settings, firmware, plan, sink, &line);
    });
}

int flash_or_verify(const Options &options)
{
    if (options.command == Command::Flash)
        return flash(options);
    production::Firmware firmware;
    std::string error;
    const int32_t loaded = production::load_firmware(options.file, options.input_format, firmware, error);
    if (loaded != EFM8_OK) {
        complain(error);
        return efm8_result_exit_status(loaded);
    }
    std::vector<efm8_device> boards;
    const int chosen = choose_boards(options, boards);
    if (chosen != 0)
        return chosen;
    // Only a flash takes long enough to want a bar.
    return run_command(options, boards, Progress::Style::Silent,
                       [&](Progress &) { return production::verify_job(firmware); });
}

int run_or_identify(const Options &options)
{
    std::vector<efm8_device> boards;
    const int status = choose_boards(options, boards);
    if (status != 0)
        return status;
    const bool run = options.command == Command::Run;
    return run_command(options, boards, Progress::Style::Silent,
                       [run](Progress &) { return run ? production::run_job() : production::identify_job(); });
}

}  // namespace cli
