// watch: the production bench (production/watcher.h) with its tally: a line per
// board as it finishes, a live line of figures on a terminal, a summary at
// the end.
#include "cli/commands.h"
#include "cli/signals.h"
#include "cli/tally.h"
#include "production/watcher.h"
#include "production/jobs.h"
#include "production/explain.h"
#include "production/line.h"
#include "station/database.h"

#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>

namespace cli {

static volatile std::sig_atomic_t stop_requested = 0;

static std::string now_text()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

// Counted, its failure said, its line printed. A board left untouched is
// no attempt: it gets no result line, as it gets no row in the record, and
// is said apart.
static void print_finished(const production::Outcome &outcome, bool json, Tally &tally)
{
    tally.count(outcome);
    if (!outcome.attempted()) {
        tally.note("kestrane-cli: " + station::escaped(outcome.device.path) + ": left untouched, not counted: " +
                   outcome.message);
        return;
    }
    if (!outcome.ok())
        tally.note("kestrane-cli: " + station::escaped(outcome.device.path) + ": " + outcome.message);
    if (!outcome.record_error.empty())
        tally.note("kestrane-cli: " + station::escaped(outcome.device.path) + ": " + outcome.record_error);
    const std::string time = now_text();
    if (json)
        tally.print(outcome_json(outcome, Command::Watch, time));
    else
        tally.print(time + "  " + outcome_text(outcome, Command::Watch) + "  " + tally.tally_text());
}

static void print_summary(bool json, Tally &tally, int exit_code)
{
    if (!json) {
        std::cout << tally.summary_text() << std::endl;
        return;
    }
    std::fprintf(stderr, "%s\n", tally.summary_text().c_str());
    std::cout << tally.summary_json(exit_code) << std::endl;
}

static const char NEEDS_TRIGGER[] =
    "watch with --reset or --enter-command needs --trigger gpio:CHIP:OFFSET, or a terminal to press Enter on: a "
    "board brought into its bootloader that way answers whenever it is asked, and would be flashed again and again";

// Each Enter on the terminal is one new board; the end of its input stops
// the bench as Ctrl-C does.
static int32_t enter_pressed(std::chrono::milliseconds wait)
{
    pollfd input = {STDIN_FILENO, POLLIN, 0};
    if (poll(&input, 1, static_cast<int>(wait.count())) <= 0)
        return 0;
    char bytes[256];
    const ssize_t got = read(STDIN_FILENO, bytes, sizeof bytes);
    if (got <= 0) {
        stop_requested = 1;
        return 0;
    }
    return std::memchr(bytes, '\n', static_cast<std::size_t>(got)) != nullptr ? 1 : 0;
}

// The bench's trigger, when boards always answer: the GPIO line, or Enter.
// EFM8_OK, or the line's failure said.
static int32_t open_trigger(const Options &options, efm8_trigger *&trigger, production::WatchEvents &events,
                            std::string &how)
{
    trigger = nullptr;
    if (!efm8_entry_used(&options.entry))
        return EFM8_OK;
    if (options.trigger.kind == EFM8_LINE_NONE) {
        events.triggered = enter_pressed;
        how = "press Enter once each board is in its fixture";
        return EFM8_OK;
    }
    efm8_report report{};
    const int32_t opened =
        efm8_trigger_open(&options.trigger, &trigger, report.transport_error, sizeof report.transport_error);
    if (opened != EFM8_OK) {
        report.result = opened;
        complain("--trigger " + production::explain(report));
        return opened;
    }
    events.triggered = [trigger](std::chrono::milliseconds wait) {
        return efm8_trigger_wait(trigger, static_cast<uint32_t>(wait.count()));
    };
    char written[EFM8_LINE_TEXT_MAX + 16];
    efm8_line_text(&options.trigger, written, sizeof written);
    how = std::string("each assertion of ") + written + " takes a new board";
    return EFM8_OK;
}

int watch(const Options &options)
{
    if (efm8_entry_used(&options.entry) && options.trigger.kind == EFM8_LINE_NONE && !isatty(STDIN_FILENO)) {
        complain(NEEDS_TRIGGER);
        return efm8_result_exit_status(EFM8_ERR_OPTIONS);
    }
    Tally tally(isatty(STDERR_FILENO) != 0);
    const auto say = [&tally](const std::string &message) { tally.note("kestrane-cli: " + message); };
    const production::Settings settings = line_settings(options);
    production::Firmware firmware;
    production::Plan plan;
    production::Record record(say);
    std::string error;
    const int32_t prepared = production::prepare_line(settings, firmware, plan, record, error);
    if (prepared != EFM8_OK) {
        complain(error);
        return efm8_result_exit_status(prepared);
    }
    production::WatchEvents events;
    efm8_trigger *trigger = nullptr;
    std::string how;
    const int32_t triggered = open_trigger(options, trigger, events, how);
    if (triggered != EFM8_OK)
        return efm8_result_exit_status(triggered);
    // A first Ctrl-C lets the boards in progress finish; a second one ends
    // the process.
    stop_on_first_signal(&stop_requested);
    std::vector<efm8_device> ports;
    if (!options.ports.empty()) {
        production::choose_boards(board_choice(options), ports, error, [](const std::string &) {});
        std::fprintf(stderr, "watching %zu serial port%s for EFM8 bootloaders%s; Ctrl-C stops\n", ports.size(),
                     ports.size() == 1 ? "" : "s", how.empty() ? "" : (": " + how).c_str());
    } else {
        std::fprintf(stderr, "watching for EFM8 bootloaders; Ctrl-C stops\n");
    }
    const production::Line line = production::line_for(settings, record, say);
    production::Job job = production::flash_job(settings, firmware, plan, {}, &line);
    job.port = settings.port;
    job.entry = settings.entry;
    events.finished = [&](const production::Outcome &outcome) { print_finished(outcome, options.json, tally); };
    // Said as the boards' results are: when, and where.
    events.left = [&tally](const std::string &path) {
        tally.note(now_text() + "  " + station::escaped(path) + "  the board left");
    };
    events.warn = say;
    bool said_stopping = false;
    events.idle = [&](long running) {
        if (stop_requested && running > 0 && !said_stopping) {
            said_stopping = true;
            say("stopping once the " + std::to_string(running) + " board" + (running == 1 ? "" : "s") +
                " in progress " + (running == 1 ? "is" : "are") + " done; Ctrl-C again stops now");
        }
        tally.redraw(running);
    };
    events.stopping = [] { return stop_requested != 0; };
    events.away = [&](const std::string &why) {
        say(why.empty() ? std::string("the station database server is back: taking boards again")
                        : why + "; no board is taken until the server is back");
        tally.server_away(!why.empty());
    };
    const int status = efm8_result_exit_status(production::run_watch(job, ports, options.count, events));
    if (stop_requested)
        tally.stopped("interrupted");
    efm8_trigger_close(trigger);
    tally.close();
    print_summary(options.json, tally, status);
    return status;
}

}  // namespace cli
