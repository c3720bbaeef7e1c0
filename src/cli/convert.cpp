// convert: a firmware file of any format the loader reads, written as boot
// records, Intel HEX, S-records or a raw binary. The loader reads and its
// writers write; this chooses the format and what boot records carry, and
// says what the output cannot carry.
#include "cli/commands.h"

#include "firmware/firmware.h"
#include "firmware/firmware_writer.h"
#include "production/plan.h"

#include <sysexits.h>

#include <algorithm>

namespace cli {

static std::string output_name(const Options &options)
{
    return options.output == "-" ? "standard output" : options.output;
}

static const char *format_title(firmware::Format format)
{
    switch (format) {
    case firmware::Format::BootRecords: return "boot records";
    case firmware::Format::IntelHex: return "Intel HEX";
    case firmware::Format::SRecord: return "S-records";
    default: return "a raw binary";
    }
}

// "a", "a and b", "a, b and c".
static std::string listed(const std::vector<std::string> &items)
{
    std::string text;
    for (std::size_t i = 0; i < items.size(); ++i)
        text += (i == 0 ? "" : i + 1 < items.size() ? ", " : " and ") + items[i];
    return text;
}

// --format, or else OUT's extension.
static int output_format(const Options &options, firmware::Format &format, std::string &error)
{
    std::optional<firmware::Format> chosen;
    if (!options.format.empty())
        chosen = firmware::format_named(options.format);
    else if (options.output != "-")
        chosen = firmware::format_for_file_name(options.output);
    if (!chosen) {
        error = "convert cannot tell which format to write " + output_name(options) +
                " in: give --format efm8, hex, srec or bin, or an OUT ending in .efm8, .hex, .ihx, .srec, .s19, "
                ".s28, .s37, .mot or .bin";
        return EX_USAGE;
    }
    format = *chosen;
    return 0;
}

// The options given that only boot records carry.
static std::vector<std::string> record_options_given(const Options &options)
{
    std::vector<std::string> given;
    if (!options.ids.empty())
        given.push_back("--id");
    if (options.lock_pages)
        given.push_back("--lock-pages");
    if (!options.run)
        given.push_back("--no-run");
    if (!options.verify)
        given.push_back("--no-verify");
    if (options.write_size != 0)
        given.push_back("--write-size");
    if (options.erase_without_data)
        given.push_back("--erase-without-data");
    return given;
}

// What the boot records carry: the options, over what the file itself asks
// when it is boot records. --id replaces the file's ids; a lock combines.
static int record_options(const Options &options, const production::Firmware &firmware, firmware::BootRecordOptions &records,
                          std::string &error)
{
    const firmware::Image &image = firmware.image;
    records.ids = options.ids.empty() ? image.ids : options.ids;
    const std::string too_large = production::too_large_for_parts(records.ids, image);
    if (!too_large.empty()) {
        error = firmware.name + ": " + too_large + ", a part the boot records are for; nothing was written";
        return EX_DATAERR;
    }
    records.verify = options.verify;
    records.write_size = options.write_size != 0 ? options.write_size : EFM8_WRITE_MAX;
    records.erase_without_data = options.erase_without_data;
    // The run and the lock as a flash of the file would settle them; the
    // verify record stands for the verify a lock needs first.
    production::FlashRequest request;
    request.verify = options.verify;
    request.run = options.run;
    request.lock = lock_request(options);
    request.force = true;  // a disabling signature is refused below, whoever asks
    production::Plan plan;
    if (production::plan_flash(request, firmware, plan, error) != EFM8_OK) {
        error = firmware.name + " ends with a lock record, which needs the verify record before it; drop --no-verify";
        return EX_USAGE;
    }
    records.run = plan.run;
    const std::optional<production::LockPlan> &lock = plan.lock;
    if (!lock)
        return 0;
    // A signature byte left erased changes nothing.
    if (lock->bytes.signature != EFM8_ERASED) {
        error = firmware.name + "'s lock record writes " + production::hex_byte(lock->bytes.signature) +
                " into the bootloader signature byte, which convert does not write into boot records";
        return EX_DATAERR;
    }
    records.lock_pages = static_cast<std::uint8_t>(production::pages_locked_by(lock->bytes.lock));
    const std::string note = production::combined_lock_note(firmware.name, image.lock, lock_request(options), *lock);
    if (!note.empty())
        complain(note);
    return 0;
}

// What a boot-record file asks that the output leaves out: all of it in
// another format; in boot records, the verify records it does not carry
// over (it writes its own, over the whole image, unless --no-verify).
static void note_left_out(const production::Firmware &firmware, firmware::Format format, const Options &options,
                          const std::vector<std::uint8_t> &written)
{
    const firmware::Image &image = firmware.image;
    if (image.format != firmware::Format::BootRecords)
        return;
    const std::string out = output_name(options);
    if (format == firmware::Format::BootRecords) {
        firmware::Image again;
        firmware::parse(written.data(), written.size(), firmware::ADDRESS_SPACE, again);
        const std::size_t kept = static_cast<std::size_t>(std::count_if(
            image.checks.begin(), image.checks.end(), [&](const firmware::Check &check) {
                return std::any_of(again.checks.begin(), again.checks.end(), [&](const firmware::Check &other) {
                    return other.start == check.start && other.end == check.end && other.crc == check.crc;
                });
            }));
        const std::size_t dropped = image.checks.size() - kept;
        if (dropped > 0)
            complain(std::to_string(dropped) + " of " + firmware.name + "'s verify records " +
                     (dropped == 1 ? "is" : "are") + " not carried over into " + out +
                     (options.verify ? ", which has its own over the whole image" : ""));
        return;
    }
    std::vector<std::string> asked;
    if (!image.ids.empty())
        asked.push_back("its identify records (the parts it is for)");
    if (!image.checks.empty())
        asked.push_back("its verify records");
    if (image.lock)
        asked.push_back("its lock record");
    if (!image.runs)
        asked.push_back("leaving the board in its bootloader");
    if (!asked.empty())
        complain(out + " (" + format_title(format) + ") holds the image only; what else " + firmware.name +
                 " asks is left out: " + listed(asked));
}

// Encodes the image and writes it; an exit status.
static int write_output(const Options &options, const production::Firmware &firmware, firmware::Format format,
                        const firmware::BootRecordOptions &records, std::string &error)
{
    std::vector<std::uint8_t> content;
    const firmware::Outcome encoded = firmware::encode(firmware.image.bytes, format, records, content);
    if (!encoded.ok()) {
        error = output_name(options) + ": " + encoded.message;
        return encoded.problem == firmware::Problem::Unwritable ? EX_CANTCREAT : EX_DATAERR;
    }
    const firmware::Outcome written = firmware::write_file(options.output, content);
    if (!written.ok()) {
        error = "cannot write " + written.message;
        return EX_CANTCREAT;
    }
    note_left_out(firmware, format, options, content);
    return 0;
}

int convert(const Options &options)
{
    firmware::Format format = firmware::Format::Binary;
    std::string error;
    int status = output_format(options, format, error);
    const std::vector<std::string> given = record_options_given(options);
    if (status == 0 && format != firmware::Format::BootRecords && !given.empty()) {
        error = listed(given) + (given.size() == 1 ? " shapes" : " shape") + " boot records only, and " +
                output_name(options) + " is written as " + format_title(format);
        status = EX_USAGE;
    }
    production::Firmware firmware;
    if (status == 0)
        status = efm8_result_exit_status(production::load_firmware(options.file, options.input_format, firmware, error));
    firmware::BootRecordOptions records;
    if (status == 0 && format == firmware::Format::BootRecords)
        status = record_options(options, firmware, records, error);
    if (status == 0)
        status = write_output(options, firmware, format, records, error);
    if (status != 0)
        complain(error);
    return status;
}

}  // namespace cli
