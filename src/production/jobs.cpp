#include "production/jobs.h"

#include "production/line.h"
#include "production/serial_number.h"

#include <cstdio>
#include <vector>

namespace production {

// "the EFM8BB10F8G-QSOP24 (0x3001)"; "an EFM8SB2 (0x1605)" for a family
// whose parts the table lacks; "id 0x3499" for any other.
static std::string part_of_id(uint16_t id)
{
    std::size_t count;
    const efm8_part *parts = efm8_parts(&count);
    char text[64];
    std::snprintf(text, sizeof text, "id 0x%04X", id);
    for (std::size_t i = 0; i < count; ++i)
        if (parts[i].id == id)
            std::snprintf(text, sizeof text, "the %s (0x%04X)", parts[i].name, id);
    const efm8_family *families = efm8_families(&count);
    for (std::size_t i = 0; i < count; ++i)
        if (!families[i].derivatives_documented && families[i].device_id == id >> 8)
            std::snprintf(text, sizeof text, "an %s (0x%04X)", families[i].name, id);
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

// The board's number placed into the image once identify has named the
// part, so that its area is known, and before anything is erased. It is
// drawn only then, once the board is known to take it: a board that cannot
// be opened or identified, or whose part the place does not fit, costs no
// number.
static int32_t place_serial(efm8_session *session, const Firmware &firmware, const serial_number::Placement &placement,
                            Record &record, Outcome &outcome, firmware::Image &placed)
{
    efm8_identity identity{};
    const int32_t identified = efm8_identify(session, &identity, &outcome.report);
    if (identified != EFM8_OK)
        return identified;
    // A part the table lacks: the engine's own check of the image's last
    // address against the bootloader stands in for the area.
    const uint32_t limit = identity.part != nullptr ? identity.app_limit : EFM8_ADDRESS_SPACE;
    if (!serial_number::place(firmware.image, limit, placement, 0, placed, outcome.message))
        return EFM8_ERR_SIZE;
    const int32_t drawn = record.draw(outcome);
    if (drawn != EFM8_OK)
        return drawn;
    if (!serial_number::place(firmware.image, limit, placement, *outcome.serial, placed, outcome.message))
        return EFM8_ERR_SIZE;
    return EFM8_OK;
}

// The part named, kept with the board's attempt.
struct Identified {
    Record *record;
    std::string path;
};

static void note_part(void *user, const efm8_part *part, const efm8_family *family)
{
    const Identified *identified = static_cast<const Identified *>(user);
    const char *name = part != nullptr ? part->name : family != nullptr ? family->name : nullptr;
    if (name != nullptr)
        identified->record->note_part(identified->path, name);
}

Job flash_job(const Settings &settings, const Firmware &firmware, const Plan &plan, ProgressSink progress,
              const Line *line)
{
    Job job;
    job.plan = plan;
    job.line = line;
    job.work = [&settings, &firmware, &plan, progress, line](efm8_session *session, std::size_t index,
                                                              Outcome &outcome) {
        Record *record = line != nullptr ? line->record : nullptr;
        if (record != nullptr) {
            const int32_t begun = record->begin(outcome);
            if (begun != EFM8_OK)
                return begun;
        }
        const int32_t checked = check_part(session, firmware, outcome);
        if (checked != EFM8_OK)
            return checked;
        firmware::Image placed;
        uint32_t identify_commands = 0;
        if (settings.serial_at && !settings.counter.empty() && record != nullptr) {
            const int32_t result = place_serial(session, firmware, *settings.serial_at, *record, outcome, placed);
            if (result != EFM8_OK)
                return result;
            identify_commands = outcome.report.commands;
        }
        efm8_options flash = plan.asked;
        flash.write_size = settings.flash.write_size;
        if (progress.report != nullptr) {
            flash.progress = progress.report;
            flash.progress_user = progress.user(index);
        }
        Identified identified{record, outcome.device.path};
        if (identified.record != nullptr) {
            flash.identified = note_part;
            flash.identified_user = &identified;
        }
        // The board's own image when its number was placed into a copy.
        std::shared_ptr<const efm8_image> image = firmware.library;
        if (!placed.bytes.empty()) {
            image = library_image(placed, firmware.name);
            if (image == nullptr) {
                outcome.message = firmware.name + ": out of memory";
                return int32_t{EFM8_ERR_MEMORY};
            }
        }
        const int32_t result = efm8_flash_image(session, image.get(), &flash, &outcome.report);
        outcome.report.commands += identify_commands;
        return result;
    };
    return job;
}

Job verify_job(const Firmware &firmware)
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

Job run_job()
{
    Job job;
    job.work = [](efm8_session *session, std::size_t, Outcome &outcome) { return efm8_run(session, &outcome.report); };
    return job;
}

Job identify_job()
{
    Job job;
    job.work = [](efm8_session *session, std::size_t, Outcome &outcome) {
        return efm8_identify(session, &outcome.identity, &outcome.report);
    };
    return job;
}

Job lock_job(const Plan &plan)
{
    Job job;
    job.plan = plan;
    const firmware::Lock bytes = plan.lock->bytes;
    job.work = [bytes](efm8_session *session, std::size_t, Outcome &outcome) {
        return efm8_lock(session, bytes.signature, bytes.lock, &outcome.report);
    };
    return job;
}

}  // namespace production
