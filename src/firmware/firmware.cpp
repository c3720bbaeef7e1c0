// Firmware files: HEX and S-records through the SRecord library, the field's
// long-standing reader of EPROM load files, boot records through
// boot_records.cpp. Errors come back as messages: nothing in a file may end
// or crash the process.
#include "firmware/firmware.h"

#include "firmware/boot_records.h"
#include "firmware/memory_file.h"
#include "firmware/record_checks.h"
#include "firmware/text.h"

#include <srecord/input/file/intel.h>
#include <srecord/quit.h>
#include <srecord/record.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <optional>

namespace srecord {
// Debian's libsrecord-dev installs no header for the S-record reader, though
// the library exports it; this is the one function of it we call.
class input_file_motorola : public input_file {
public:
    static pointer create(const std::string &file_name);
};
}  // namespace srecord

namespace firmware {

// What SRecord warns of, and what we make of it: nothing for what changes
// nothing in the image; an error for the rest, in our words where SRecord's
// would mislead (it skips a line it cannot read as a record, and we refuse
// the file instead).
struct warning_meaning {
    const char *srecord_says;
    const char *meaning;  // NULL: harmless
};

static const warning_meaning WARNINGS[] = {
    {"no header record", NULL},
    {"redundant execution start address record", NULL},
    {"no execution start address record", NULL},  // a bootloader has no use for one
    {"redundant termination record", NULL},
    {"ignoring garbage lines", "not a record"},
};

static const warning_meaning *meaning_of(const std::string &message)
{
    for (const warning_meaning &w : WARNINGS)
        if (message.find(w.srecord_says) != std::string::npos)
            return &w;
    return NULL;
}

static bool harmless(const std::string &message)
{
    const warning_meaning *w = meaning_of(message);
    return w != NULL && w->meaning == NULL;
}

namespace {

struct failure {
    Problem problem;
    std::string message;
};

// SRecord ends the process on a fatal error unless its quit handler does
// otherwise: this one throws instead, and keeps the warnings, which SRecord
// reports through the same channel without ending anything.
class collect_quit : public srecord::quit {
public:
    std::vector<std::string> messages;

protected:
    void message_v(const char *format, va_list args) override
    {
        char text[512];
        std::vsnprintf(text, sizeof text, format, args);
        messages.push_back(text);
    }
    // The earliest of the messages that is not harmless: a warning may
    // explain the fatal error that follows it.
    void exit(int) override;
};

}  // namespace

// The format of the first line of a text file that starts as a record:
// ':' for Intel HEX, S and a digit for S-records.
static std::optional<Format> first_record_format(const std::vector<std::uint8_t> &lines)
{
    for (std::size_t start = 0; start < lines.size();) {
        if (lines[start] == ':')
            return Format::IntelHex;
        if (lines[start] == 'S' && start + 1 < lines.size() && lines[start + 1] >= '0' && lines[start + 1] <= '9')
            return Format::SRecord;
        while (start < lines.size() && lines[start] != '\n')
            ++start;
        ++start;
    }
    return std::nullopt;
}

// The format, and a text file's lines (or a file's whose lines are records:
// binary_lines). Text with no line that starts as a record is taken for
// Intel HEX, which the EFM8 toolchains write, and is refused as such.
static Format format_and_lines(const std::uint8_t *content, std::size_t size, std::vector<std::uint8_t> &lines,
                               bool &binary_lines)
{
    binary_lines = false;
    if (size > 0 && content[0] == EFM8_RECORD_START)
        return Format::BootRecords;
    if (size == 0)
        return Format::Binary;
    if (!text_lines(content, size, lines)) {
        binary_lines = record_lines(content, size, lines);
        if (!binary_lines)
            return Format::Binary;
    }
    return first_record_format(lines).value_or(Format::IntelHex);
}

Format format_of(const std::uint8_t *content, std::size_t size)
{
    std::vector<std::uint8_t> lines;
    bool binary_lines;
    return format_and_lines(content, size, lines, binary_lines);
}

Outcome read_file(const std::string &path, std::vector<std::uint8_t> &content)
{
    const bool standard_input = path == "-";
    const int fd = standard_input ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {Problem::Unreadable, path + ": " + std::strerror(errno)};
    // Grown as the file comes, to one byte past the most taken: a whole
    // buffer up front would be filled with zeros, every page of it, for a
    // file of a few kilobytes.
    const std::size_t most = MAX_FILE_SIZE + 1;
    content.clear();
    std::size_t filled = 0;
    ssize_t got = 0;
    do {
        if (filled == content.size())
            content.resize(std::min(most, std::max<std::size_t>(64 * 1024, 2 * filled)));
        got = read(fd, content.data() + filled, content.size() - filled);
        if (got > 0)
            filled += static_cast<std::size_t>(got);
    } while (got > 0 && filled < most);
    const int error = errno;
    if (!standard_input)
        close(fd);
    content.resize(filled);
    if (got < 0)
        return {Problem::Unreadable, path + ": " + std::strerror(error)};
    return {};
}

static std::string hex_address(std::uint32_t address)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", address);
    return text;
}

// SRecord says "NAME: LINE: text"; we say "line LINE: text".
static std::string with_line(const std::string &message, const std::string &name)
{
    std::string rest = message.compare(0, name.size() + 2, name + ": ") == 0 ? message.substr(name.size() + 2) : message;
    std::size_t digits = 0;
    while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9')
        ++digits;
    if (digits == 0 || rest.compare(digits, 2, ": ") != 0)
        return rest;
    const std::string text = rest.substr(digits + 2);
    const std::string warning = "warning: ";
    const warning_meaning *w = meaning_of(text);
    const std::string said = w != NULL && w->meaning != NULL ? w->meaning
                             : text.compare(0, warning.size(), warning) == 0 ? text.substr(warning.size())
                                                                               : text;
    return "line " + rest.substr(0, digits) + ": " + said;
}

void collect_quit::exit(int)
{
    for (const std::string &message : messages)
        if (!harmless(message))
            throw failure{Problem::Malformed, message};
    throw failure{Problem::Malformed, messages.empty() ? "" : messages.back()};
}

// "line N: " for the record just read.
static std::string line_of(const srecord::input &input, const std::string &name)
{
    return with_line(input.filename_and_line() + ": ", name);
}

static std::string limit_text(std::uint32_t limit)
{
    if (limit >= ADDRESS_SPACE)
        return "the 64 KB address space";
    return "the " + std::to_string(limit) + "-byte application area";
}

std::string lies_beyond(std::uint32_t address, std::uint32_t limit)
{
    return "data at " + hex_address(address) + " lies beyond " + limit_text(limit);
}

// Places one data record, or says why it cannot be placed.
static void place(const srecord::record &record, std::uint32_t limit, const std::string &line,
                  std::vector<std::uint8_t> &flash, std::vector<bool> &written, std::uint32_t &end)
{
    const std::uint32_t start = record.get_address();
    for (std::size_t i = 0; i < record.get_length(); ++i) {
        const std::uint32_t address = start + static_cast<std::uint32_t>(i);
        if (address >= limit || address >= ADDRESS_SPACE)
            throw failure{Problem::TooLarge, line + lies_beyond(address, limit)};
        const std::uint8_t byte = static_cast<std::uint8_t>(record.get_data(i));
        if (written[address] && flash[address] != byte)
            throw failure{Problem::Malformed,
                          line + "data at " + hex_address(address) + " differs from an earlier record"};
        flash[address] = byte;
        written[address] = true;
        end = std::max(end, address + 1);
    }
}

static void read_records(srecord::input &input, collect_quit &quit, const std::string &name, std::uint32_t limit,
                         Image &image)
{
    std::vector<std::uint8_t> flash(ADDRESS_SPACE, EFM8_ERASED);
    std::vector<bool> written(ADDRESS_SPACE, false);
    std::uint32_t end = 0;
    srecord::record record;
    while (input.read(record)) {
        if (record.get_type() == srecord::record::type_data)
            place(record, limit, line_of(input, name), flash, written, end);
    }
    for (const std::string &warning : quit.messages)
        if (!harmless(warning))
            throw failure{Problem::Malformed, with_line(warning, name)};
    if (end == 0)
        throw failure{Problem::Malformed, "the file holds no data"};
    flash.resize(end);
    image.bytes = std::move(flash);
}

// Text in which no line starts as a record does, refused with the first
// line that holds anything named.
static Outcome neither_hex_nor_srecords(const std::vector<std::uint8_t> &lines)
{
    std::size_t first = 0;
    while (first < lines.size() && lines[first] == '\n')
        ++first;
    if (first == lines.size())
        return {Problem::Malformed, "the file holds nothing but blank lines"};
    return {Problem::Malformed, "line " + std::to_string(first + 1) + ": neither an Intel HEX record nor an S-record, "
                                "and a text file is never read as a raw binary"};
}

// SRecord names the line after the last for what it finds missing at the
// end of the file; the last line that holds anything is the one to name.
static std::string within_file(const std::string &message, const std::vector<std::uint8_t> &lines)
{
    std::size_t last = 0, line = 1;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] != '\n' && (i == 0 || lines[i - 1] == '\n'))
            last = line;
        line += lines[i] == '\n';
    }
    const std::string prefix = "line ";
    std::size_t digits = prefix.size();
    while (digits < message.size() && message[digits] >= '0' && message[digits] <= '9')
        ++digits;
    if (message.compare(0, prefix.size(), prefix) != 0 || digits == prefix.size() || digits - prefix.size() > 9 ||
        std::stoul(message.substr(prefix.size(), digits - prefix.size())) <= last)
        return message;
    return prefix + std::to_string(last) + message.substr(digits);
}

static Outcome read_with_srecord(const std::vector<std::uint8_t> &lines, std::uint32_t limit, Image &image)
{
    const memory_file file(lines.data(), lines.size());
    if (file.path().empty())
        return {Problem::Unreadable, std::string("the file could not be handed to the reader: ") + std::strerror(errno)};
    collect_quit quit;
    try {
        // Made and destroyed while the memory file is open.
        srecord::input::pointer input = image.format == Format::IntelHex
                                            ? srecord::input_file_intel::create(file.path())
                                            : srecord::input_file_motorola::create(file.path());
        input->set_quit(quit);
        read_records(*input, quit, file.path(), limit, image);
    } catch (const failure &f) {
        return {f.problem, within_file(with_line(f.message, file.path()), lines)};
    }
    return {};
}

static Outcome parse_records(const std::vector<std::uint8_t> &lines, bool binary_lines, std::uint32_t limit,
                             Image &image)
{
    if (!first_record_format(lines))
        return neither_hex_nor_srecords(lines);
    if (const std::size_t line = binary_lines ? first_line_not_text(lines) : 0)
        return {Problem::Malformed, "line " + std::to_string(line) + ": not a record (it holds bytes no text holds)"};
    if (image.format == Format::SRecord) {
        const Outcome checked = check_srecords(lines);
        return checked.ok() ? read_with_srecord(lines, limit, image) : checked;
    }
    // SRecord stops reading Intel HEX at its end-of-file record and drops
    // what follows, such as a second file appended to the first, or finds
    // no data when that record comes first.
    const Outcome read = read_with_srecord(lines, limit, image);
    const Outcome after = check_after_end(lines);
    if (read.ok() && !after.ok())
        image.bytes.clear();
    return read.ok() || (!after.ok() && read.message.find("no data") != std::string::npos) ? after : read;
}

Outcome parse_binary(const std::uint8_t *content, std::size_t size, std::uint32_t limit, Image &image)
{
    image = Image{};
    if (size == 0)
        return {Problem::Empty, "the file is empty"};
    // A file longer than MAX_FILE_SIZE is read only one byte past it: its
    // true size is not known here.
    if (size > limit)
        return {Problem::TooLarge, "the image is " + (size > MAX_FILE_SIZE ? "more than " + std::to_string(MAX_FILE_SIZE)
                                                                           : std::to_string(size)) +
                                       " bytes, larger than " + limit_text(limit)};
    image.bytes.assign(content, content + size);
    return {};
}

Outcome parse(const std::uint8_t *content, std::size_t size, std::uint32_t limit, Image &image)
{
    std::vector<std::uint8_t> lines;
    bool binary_lines;
    const Format format = format_and_lines(content, size, lines, binary_lines);
    if (format == Format::Binary)
        return parse_binary(content, size, limit, image);
    image = Image{};
    image.format = format;
    if (size > MAX_FILE_SIZE)
        return {Problem::Malformed, "the file is larger than any EFM8 image file could be"};
    if (format == Format::BootRecords)
        return parse_boot_records(content, size, limit, image);
    return parse_records(lines, binary_lines, limit, image);
}

Outcome parse_as(const std::uint8_t *content, std::size_t size, std::uint32_t limit, Format asked, Image &image)
{
    if (asked == Format::Binary)
        return parse_binary(content, size, limit, image);
    const bool records = asked == Format::BootRecords;
    if (records ? size > 0 && content[0] == EFM8_RECORD_START : format_of(content, size) == asked)
        return parse(content, size, limit, image);
    image = Image{};
    image.format = asked;
    if (size == 0)
        return {Problem::Empty, "the file is empty"};
    if (records)
        return {Problem::Malformed, "record 1 at offset 0x0000: not a boot record (they start with '$'), and the "
                                    "file was to be boot records"};
    std::vector<std::uint8_t> lines;
    if (!text_lines(content, size, lines))
        lines = any_lines(content, size);
    const Outcome kind = check_kind(lines, asked);
    if (!kind.ok())
        return kind;
    return {Problem::Malformed, asked == Format::IntelHex ? "the file holds no Intel HEX record"
                                                          : "the file holds no S-record"};
}

}  // namespace firmware
