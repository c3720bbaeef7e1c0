#include "production/line.h"

#include <chrono>
#include <cstdio>

namespace production {

// Known from the file alone: the place must hold 0xFF in the image and lie
// outside its CRC checks. The part's area is known once a board says which
// part it is.
static int32_t check_placement(const Settings &settings, const Firmware &firmware, std::string &error)
{
    if (!settings.serial_at)
        return EFM8_OK;
    firmware::Image unused;
    if (serial_number::place(firmware.image, EFM8_ADDRESS_SPACE, *settings.serial_at, 0, unused, error))
        return EFM8_OK;
    error = firmware.name + ": " + error;
    return EFM8_ERR_BAD_IMAGE;
}

int32_t prepare_line(const Settings &settings, Firmware &firmware, Plan &plan, Record &record, std::string &error)
{
    int32_t result = load_firmware(settings.file, settings.input_format, firmware, error);
    if (result == EFM8_OK)
        result = plan_flash(settings.flash, firmware, plan, error);
    if (result == EFM8_OK)
        result = check_placement(settings, firmware, error);
    if (result == EFM8_OK)
        result = record.open(settings, firmware, error);
    if (result == EFM8_OK)
        result = record.check_counter(error);
    return result;
}

Line line_for(const Settings &settings, Record &record, std::function<void(const std::string &)> say)
{
    Line line;
    line.record = &record;
    line.retries = settings.retries;
    line.wait_seconds = settings.retry_wait_seconds;
    line.port = settings.port;
    line.entry = settings.entry;
    line.say = std::move(say);
    return line;
}

// A transfer that failed or a board that left, after the board had
// answered; never once the lock command was sent, which may have
// programmed the lock already. A refusal or a mismatch would only repeat.
// On a port, silence from the first command on is the wiring or a board
// not in its bootloader, which waiting does not mend.
static bool worth_another_try(const Outcome &outcome)
{
    const efm8_report &report = outcome.report;
    if (report.locked || report.command == EFM8_CMD_LOCK)
        return false;
    if (outcome.device.interface == EFM8_UART)
        return report.result == EFM8_ERR_TRANSFER && report.commands > 1;
    return report.result == EFM8_ERR_TRANSFER || report.result == EFM8_ERR_NO_DEVICE;
}

static std::string seconds_text(double seconds)
{
    if (seconds < 0)
        return "for as long as it takes";
    char text[32];
    std::snprintf(text, sizeof text, "up to %g s", seconds);
    return text;
}

// Turned down before it was opened: no attempt.
static Outcome not_begun(const efm8_device &board, const Job &job, int32_t result, const std::string &why)
{
    Outcome outcome;
    outcome.device = board;
    outcome.plan = job.plan;
    outcome.result = result;
    outcome.message = why;
    outcome.report.interface = board.interface;
    return outcome;
}

// Tries until one is not worth repeating, the tries run out, or the board
// does not come back. The number drawn on one try is the next one's; a
// board opened on any try was opened, and one declined on any is declined.
static Outcome tries_on_board(const efm8_device &board, std::size_t index, const Job &job)
{
    const Line &line = *job.line;
    Outcome outcome = run_on_board(board, index, job);
    bool opened = outcome.opened, declined = outcome.declined;
    unsigned tries = 1;
    while (tries <= line.retries && worth_another_try(outcome)) {
        ++tries;
        line.say(std::string(board.path) + ": " + outcome.message + "; waiting " + seconds_text(line.wait_seconds) +
                 " for the board to come back for try " + std::to_string(tries) + " of " +
                 std::to_string(line.retries + 1));
        if (!wait_for_board(board, line.port, line.entry, line.wait_seconds)) {
            --tries;
            outcome.message += "; the board did not come back for another try";
            break;
        }
        outcome = run_on_board(board, index, job, outcome.serial);
        opened = opened || outcome.opened;
        declined = declined || outcome.declined;
    }
    outcome.tries = tries;
    outcome.opened = opened;
    outcome.declined = declined;
    return outcome;
}

Outcome attempt_on_board(const efm8_device &board, std::size_t index, const Job &job)
{
    if (job.line == nullptr)
        return run_on_board(board, index, job);
    const auto start = std::chrono::steady_clock::now();
    Record &record = *job.line->record;
    std::string error;
    // No number is drawn without the record's server: while it is away the
    // board is left as it is, to be taken again once it is back.
    std::string why;
    if (!record.ready(why)) {
        Outcome outcome = not_begun(board, job, EFM8_ERR_NOT_RECORDED, why + "; nothing is flashed without the record");
        outcome.server_away = true;
        return outcome;
    }
    // A counter with nothing left for the board turns it down unopened.
    const int32_t refused = record.check_counter(error, Record::Read::AsSeen);
    if (refused != EFM8_OK)
        return not_begun(board, job, refused, error);
    Outcome outcome = tries_on_board(board, index, job);
    outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // The board's result stays its own, and its number used; the run fails
    // for the record that could not be completed.
    if (record.finish(outcome, error) != EFM8_OK)
        outcome.record_error = error;
    return outcome;
}

}  // namespace production
