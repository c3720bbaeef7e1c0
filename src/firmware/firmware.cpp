// Firmware files: HEX and S-records through the SRecord library, the field's
// long-standing reader of EPROM load files, boot records through
// boot_records.cpp. Errors come back as messages: nothing in a file may end
// or crash the process.
#include "firmware/firmware.h"

#include "firmware/boot_records.h"
#include "firmware/memory_file.h"

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

namespace srecord {
// Debian's libsrecord-dev installs no header for the S-record reader, though
// the library exports it; this is the one function of it we call.
class input_file_motorola : public input_file {
public:
    static pointer create(const std::string &file_name);
};
}  // namespace srecord

namespace firmware {

static const std::uint8_t DOS_END_OF_FILE = 0x1A;  // some old tools end text files with it

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

static bool is_text(std::uint8_t byte)
{
    return (byte >= 0x20 && byte < 0x7F) || (byte >= '\t' && byte <= '\r') || byte == DOS_END_OF_FILE;
}

static bool is_blank(std::uint8_t byte)
{
    return byte == ' ' || (byte >= '\t' && byte <= '\r');
}

Format format_of(const std::uint8_t *content, std::size_t size)
{
    if (size > 0 && content[0] == EFM8_RECORD_START)
        return Format::BootRecords;
    for (std::size_t i = 0; i < size; ++i)
        if (!is_text(content[i]))
            return Format::Binary;
    std::size_t first = 0;
    while (first < size && is_blank(content[first]))
        ++first;
    if (first < size && content[first] == ':')
        return Format::IntelHex;
    if (first + 1 < size && content[first] == 'S' && content[first + 1] >= '0' && content[first + 1] <= '9')
        return Format::SRecord;
    return Format::Binary;
}

Outcome read_file(const std::string &path, std::vector<std::uint8_t> &content)
{
    const bool standard_input = path == "-";
    const int fd = standard_input ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {Problem::Unreadable, path + ": " + std::strerror(errno)};
    content.assign(MAX_FILE_SIZE + 1, 0);
    std::size_t filled = 0;
    ssize_t got = 0;
    while (filled < content.size() && (got = read(fd, content.data() + filled, content.size() - filled)) > 0)
        filled += static_cast<std::size_t>(got);
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

// Each line without the blanks around it: SRecord refuses a record with a
// blank after it and skips one with a blank before it. Line numbers stay.
static std::vector<std::uint8_t> tidy_lines(const std::uint8_t *content, std::size_t size)
{
    std::vector<std::uint8_t> tidy;
    tidy.reserve(size);
    for (std::size_t start = 0; start < size;) {
        std::size_t end = start;
        while (end < size && content[end] != '\n')
            ++end;
        std::size_t first = start, last = end;
        while (first < last && (is_blank(content[first]) || content[first] == DOS_END_OF_FILE))
            ++first;
        while (last > first && (is_blank(content[last - 1]) || content[last - 1] == DOS_END_OF_FILE))
            --last;
        tidy.insert(tidy.end(), content + first, content + last);
        if (end < size)
            tidy.push_back('\n');
        start = end + 1;
    }
    return tidy;
}

static Outcome parse_records(const std::uint8_t *content, std::size_t size, std::uint32_t limit, Image &image)
{
    const std::vector<std::uint8_t> tidy = tidy_lines(content, size);
    const memory_file file(tidy.data(), tidy.size());
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
        return {f.problem, with_line(f.message, file.path())};
    }
    return {};
}

Outcome parse(const std::uint8_t *content, std::size_t size, std::uint32_t limit, Image &image)
{
    image = Image{};
    image.format = format_of(content, size);
    if (image.format != Format::Binary && size > MAX_FILE_SIZE)
        return {Problem::Malformed, "the file is larger than any EFM8 image file could be"};
    if (image.format == Format::BootRecords)
        return parse_boot_records(content, size, limit, image);
    if (image.format != Format::Binary)
        return parse_records(content, size, limit, image);
    if (size == 0)
        return {Problem::Empty, "the file is empty"};
    if (size > limit)
        return {Problem::TooLarge, "the image is " + std::to_string(size) + " bytes, larger than " + limit_text(limit)};
    image.bytes.assign(content, content + size);
    return {};
}

}  // namespace firmware
