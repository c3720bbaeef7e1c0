// Firmware files out: HEX and S-records through SRecord's writers, boot
// records through boot_records.cpp, raw binaries as they are.
#include "firmware/firmware_writer.h"

#include "firmware/firmware.h"
#include "firmware/memory_file.h"

#include <srecord/output/file/intel.h>
#include <srecord/record.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

namespace srecord {
// Debian's libsrecord-dev installs no header for the S-record writer, though
// the library exports it; this is the one function of it we call.
class output_file_motorola : public output_file {
public:
    static pointer create(const std::string &file_name);
};
}  // namespace srecord

namespace firmware {

static const std::uint32_t BLOCK = 32;      // one line of SRecord's output
static const int ADDRESS_BYTES = 2;         // S1 records, and HEX without extended addresses
static const char HEADER[] = "kestrane";    // the S0 record's text

namespace {

struct named_format {
    const char *name;
    Format format;
};

const named_format NAMES[] = {
    {"efm8", Format::BootRecords},
    {"hex", Format::IntelHex},
    {"srec", Format::SRecord},
    {"bin", Format::Binary},
};

const named_format EXTENSIONS[] = {
    {"efm8", Format::BootRecords}, {"hex", Format::IntelHex}, {"ihx", Format::IntelHex},
    {"s19", Format::SRecord},      {"s28", Format::SRecord},  {"s37", Format::SRecord},
    {"srec", Format::SRecord},     {"mot", Format::SRecord},  {"bin", Format::Binary},
};

}  // namespace

template <std::size_t N>
static std::optional<Format> look_up(const named_format (&table)[N], const std::string &name)
{
    for (const named_format &entry : table)
        if (name == entry.name)
            return entry.format;
    return std::nullopt;
}

std::optional<Format> format_named(const std::string &name)
{
    return look_up(NAMES, name);
}

std::optional<Format> format_for_file_name(const std::string &path)
{
    const std::size_t dot = path.find_last_of("./");
    if (dot == std::string::npos || path[dot] != '.')
        return std::nullopt;
    std::string extension = path.substr(dot + 1);
    for (char &c : extension)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return look_up(EXTENSIONS, extension);
}

static bool blank(const std::vector<std::uint8_t> &bytes, std::uint32_t start, std::uint32_t end)
{
    return std::all_of(bytes.begin() + start, bytes.begin() + end, [](std::uint8_t b) { return b == EFM8_ERASED; });
}

// Each run of blocks that are not all 0xFF, in one piece; the last block
// always goes out, so the image reads back to its length.
static void write_data(srecord::output &output, const std::vector<std::uint8_t> &bytes)
{
    const std::uint32_t size = static_cast<std::uint32_t>(bytes.size());
    std::uint32_t run = 0;
    for (std::uint32_t block = 0; block < size; block += BLOCK) {
        const std::uint32_t end = std::min(block + BLOCK, size);
        if (end == size || !blank(bytes, block, end))
            continue;
        if (run < block)
            output.write_data(run, bytes.data() + run, block - run);
        run = end;
    }
    output.write_data(run, bytes.data() + run, size - run);
}

// SRecord's writers end the process on an error, and their only errors are
// a file that cannot be opened or written and an address beyond their
// width: a memory file and an image within 64 KB rule both out.
static Outcome encode_text(const std::vector<std::uint8_t> &bytes, Format format, std::vector<std::uint8_t> &content)
{
    const memory_file file(nullptr, 0);
    if (file.path().empty())
        return {Problem::Unwritable, std::string("no memory file for the writer: ") + std::strerror(errno)};
    {
        const srecord::output::pointer output = format == Format::IntelHex
                                                    ? srecord::output_file_intel::create(file.path())
                                                    : srecord::output_file_motorola::create(file.path());
        output->address_length_set(ADDRESS_BYTES);
        const srecord::record header(srecord::record::type_header, 0,
                                     reinterpret_cast<const srecord::record::data_t *>(HEADER), sizeof HEADER - 1);
        output->write_header(&header);
        write_data(*output, bytes);
        // An S9 record ends S-records; HEX ends with its end record alone.
        if (format == Format::SRecord)
            output->write_execution_start_address();
    }
    if (!file.contents(content))
        return {Problem::Unwritable, std::string("the writer's memory file could not be read: ") + std::strerror(errno)};
    return {};
}

Outcome encode(const std::vector<std::uint8_t> &bytes, Format format, const BootRecordOptions &options,
               std::vector<std::uint8_t> &content)
{
    content.clear();
    if (format == Format::BootRecords)
        return write_boot_records(bytes, options, content);
    if (bytes.empty())
        return {Problem::Empty, "the image is empty"};
    if (bytes.size() > ADDRESS_SPACE)
        return {Problem::TooLarge, lies_beyond(ADDRESS_SPACE, ADDRESS_SPACE)};
    if (format != Format::Binary)
        return encode_text(bytes, format, content);
    if (format_of(bytes.data(), bytes.size()) != Format::Binary)
        return {Problem::Unsupported, "as a raw binary this image would read back as another format, since it "
                                      "starts with '$' or is all text: write it as HEX or S-records"};
    content = bytes;
    return {};
}

static bool write_all(int fd, const std::vector<std::uint8_t> &content)
{
    for (std::size_t done = 0; done < content.size();) {
        const ssize_t written = write(fd, content.data() + done, content.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        done += static_cast<std::size_t>(written);
    }
    return true;
}

Outcome write_file(const std::string &path, const std::vector<std::uint8_t> &content)
{
    const bool standard_output = path == "-";
    const int fd = standard_output ? STDOUT_FILENO : open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return {Problem::Unwritable, path + ": " + std::strerror(errno)};
    bool written = write_all(fd, content);
    int error = errno;
    if (!standard_output && close(fd) != 0 && written) {
        written = false;
        error = errno;
    }
    if (!written)
        return {Problem::Unwritable, path + ": " + std::strerror(error)};
    return {};
}

}  // namespace firmware
