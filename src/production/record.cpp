#include "production/record.h"

#include "production/boards.h"
#include "station/database.h"

namespace production {

static const char NO_RECORD_HINT[] = "; nothing is flashed without the record that was asked for";
static const char DEFAULT_DROPPED[] =
    "; flashing without a record (--db PATH records elsewhere, --no-record keeps this quiet)";

int32_t station_result(station::Status status)
{
    switch (status) {
    case station::Status::Ok: return EFM8_OK;
    case station::Status::Exhausted:
    case station::Status::NoSuchCounter:
    case station::Status::Conflict: return EFM8_ERR_NO_SERIAL_NUMBER;
    case station::Status::TooLarge: return EFM8_ERR_SIZE;
    case station::Status::Invalid: return EFM8_ERR_OPTIONS;
    default: return EFM8_ERR_NOT_RECORDED;
    }
}

Record::Record(std::function<void(const std::string &)> say) : say_(std::move(say)) {}

int32_t Record::open(const Settings &settings, const Firmware &firmware, std::string &error)
{
    if (!settings.record)
        return EFM8_OK;
    asked_ = !settings.db.empty() || !settings.counter.empty();
    counter_ = settings.counter;
    placement_ = settings.serial_at;
    image_name_ = firmware.name;
    image_sha256_ = station::sha256_hex(firmware.content.data(), firmware.content.size());
    std::string path = settings.db;
    if (path.empty())
        station::default_path(path);
    station_.on_busy([this, path] {
        say_("waiting for the station database " + station::database_name(path) +
             ": another program is writing to it");
    });
    station_.name_station(settings.station);
    const station::Result opened = settings.db.empty() ? station_.open_default() : station_.open(settings.db);
    on_ = opened.ok();
    if (!station_.spool_trouble().empty())
        say_(station_.spool_trouble() + "; kestrane-cli station sync says what to do with it");
    return opened.ok() ? EFM8_OK : failed(opened, error);
}

// A database that was asked for fails the board; the default one is said
// once and left alone from then on.
int32_t Record::failed(const station::Result &result, std::string &error)
{
    if (asked_) {
        error = result.message;
        if (station_result(result.status) == EFM8_ERR_NOT_RECORDED)
            error += NO_RECORD_HINT;
        return station_result(result.status);
    }
    on_ = false;
    std::call_once(warned_, [&] { say_(result.message + DEFAULT_DROPPED); });
    return EFM8_OK;
}

int32_t Record::counter_fits(std::string &error, Read read)
{
    station::Counter counter;
    const station::Result found =
        read == Read::AsSeen ? station_.counter_as_seen(counter_, counter) : station_.counter(counter_, counter);
    if (found.status == station::Status::NoSuchCounter) {
        error = found.message + ": create it with 'kestrane-cli serial init " + station::escaped(counter_) +
                " --first N'";
        return EFM8_ERR_NO_SERIAL_NUMBER;
    }
    if (!found.ok())
        return failed(found, error);
    if (counter.exhausted()) {
        error = "counter '" + station::escaped(counter_) + "' has handed out its last number, " +
                std::to_string(counter.last.value_or(station::LARGEST_NUMBER)) +
                "; start a new counter with 'kestrane-cli serial init NAME --first N'";
        return EFM8_ERR_NO_SERIAL_NUMBER;
    }
    const std::string refused = serial_number::refusal(*placement_, counter.next());
    if (!refused.empty()) {
        error = "counter '" + station::escaped(counter_) + "' would hand out " + std::to_string(counter.next()) +
                ", which " + refused;
        return EFM8_ERR_SIZE;
    }
    return EFM8_OK;
}

int32_t Record::check_counter(std::string &error, Read read)
{
    return on_ && !counter_.empty() ? counter_fits(error, read) : EFM8_OK;
}

// The part as the report names it, once identify has.
static std::string part_named(const efm8_report &report)
{
    return report.part != nullptr ? report.part->name : report.family != nullptr ? report.family->name : "";
}

std::optional<station::Attempt> Record::in_progress(const std::string &path)
{
    std::lock_guard<std::mutex> guard(in_progress_lock_);
    const auto found = in_progress_.find(path);
    return found != in_progress_.end() ? std::optional<station::Attempt>(found->second) : std::nullopt;
}

int32_t Record::begin(Outcome &outcome)
{
    const std::string path = outcome.device.path;
    if (!on_ || in_progress(path))
        return EFM8_OK;
    station::AttemptStart start;
    start.transport = outcome.device.interface == EFM8_UART ? station::Transport::Uart : station::Transport::Usb;
    start.path = path;
    start.image_name = image_name_;
    start.image_sha256 = image_sha256_;
    station::Attempt begun;
    const station::Result written = station_.begin(start, begun);
    if (!written.ok()) {
        const int32_t result = failed(written, outcome.message);
        outcome.declined = result != EFM8_OK;
        outcome.server_away = written.status == station::Status::Unreachable;
        return result;
    }
    std::lock_guard<std::mutex> guard(in_progress_lock_);
    in_progress_[path] = begun;
    return EFM8_OK;
}

int32_t Record::draw(Outcome &outcome)
{
    const std::string path = outcome.device.path;
    std::optional<station::Attempt> attempt = in_progress(path);
    if (!attempt) {
        outcome.message = "no attempt of the board is recorded to draw its serial number for" + std::string(NO_RECORD_HINT);
        return EFM8_ERR_NOT_RECORDED;
    }
    if (!attempt->serial) {
        const station::Result drawn =
            station_.draw(*attempt, counter_, serial_number::largest(*placement_), part_named(outcome.report));
        const int32_t result = station_result(drawn.status);
        if (result == EFM8_ERR_NO_SERIAL_NUMBER || result == EFM8_ERR_SIZE) {
            // Withdrawn: said as it would have been before the board was opened.
            {
                std::lock_guard<std::mutex> guard(in_progress_lock_);
                in_progress_.erase(path);
            }
            if (counter_fits(outcome.message) == EFM8_OK)
                outcome.message = drawn.message;
            outcome.declined = true;
            return result;
        }
        if (!drawn.ok()) {
            outcome.message = drawn.message + NO_RECORD_HINT;
            return EFM8_ERR_NOT_RECORDED;
        }
        std::lock_guard<std::mutex> guard(in_progress_lock_);
        in_progress_[path] = *attempt;
    }
    outcome.serial = attempt->serial;
    return EFM8_OK;
}

void Record::note_part(const std::string &path, const std::string &part)
{
    // A part not kept now is kept when the attempt is completed.
    if (const std::optional<station::Attempt> attempt = in_progress(path))
        station_.note_part(*attempt, part);
}

bool Record::ready(std::string &why)
{
    if (!on_)
        return true;
    std::size_t sent = 0;
    const station::Result reached = station_.reachable(sent);
    if (sent > 0)
        say_("the station database server " + station_.path() + " is back: sent " + std::to_string(sent) +
             " pending record" + (sent == 1 ? "" : "s"));
    why = reached.message;
    return reached.ok();
}

int32_t Record::finish(const Outcome &outcome, std::string &error)
{
    std::optional<station::Attempt> attempt;
    {
        std::lock_guard<std::mutex> guard(in_progress_lock_);
        const auto found = in_progress_.find(outcome.device.path);
        if (found == in_progress_.end())
            return EFM8_OK;
        attempt = found->second;
        in_progress_.erase(found);
    }
    const efm8_report &report = outcome.report;
    station::AttemptEnd end;
    end.part = part_named(report);
    end.result = efm8_result_name(outcome.result);
    end.exit_code = outcome.exit_code();
    end.message = outcome.message;
    end.commands = report.commands;
    end.bytes_written = report.bytes_written;
    end.seconds = outcome.seconds;
    end.tries = outcome.tries;
    const station::Result written = station_.finish(*attempt, end);
    if (written.ok())
        return EFM8_OK;
    if (written.status == station::Status::Pending) {
        say_(std::string(outcome.device.path) + ": " + written.message);
        return EFM8_OK;
    }
    const int32_t result = failed(written, error);
    if (result != EFM8_OK)
        error = "the record is incomplete: attempt " + std::to_string(attempt->id) +
                " stays unfinished, its board's result unrecorded: " + written.message;
    return result;
}

}  // namespace production
