// libFuzzer target for the firmware loader and writers: whatever the bytes,
// parsing ends with an image that fits its limit or with a reason; text is
// never a raw binary, in Latin-1 too, and reads alike in UTF-16, padded
// with NULs or Ctrl-Z and with lone CR line ends; a boot-record file loads
// only when its verify records hold for its image; an image that loads is
// written in every format, with options drawn from the bytes, and reads back
// the same; a raw binary asked for is the bytes as they are; nothing
// crashes, leaks, hangs or ends the process. Also built without libFuzzer
// to replay the corpus in every test run (replay.cpp).
#include "firmware/firmware.h"
#include "firmware/firmware_writer.h"
#include "protocol/protocol.h"

#include <algorithm>
#include <cstdlib>

static void check(bool holds)
{
    if (!holds)
        std::abort();
}

// Only a raw binary that would read back as another format is refused.
static void write_and_read_back(const firmware::Image &image, const firmware::BootRecordOptions &options,
                                firmware::Format format)
{
    std::vector<uint8_t> file;
    const firmware::Outcome written = firmware::encode(image.bytes, format, options, file);
    if (!written.ok()) {
        check(format == firmware::Format::Binary &&
              firmware::format_of(image.bytes.data(), image.bytes.size()) != firmware::Format::Binary);
        return;
    }
    firmware::Image back;
    check(firmware::parse(file.data(), file.size(), firmware::ADDRESS_SPACE, back).ok());
    check(back.format == format && back.bytes == image.bytes);
    if (format != firmware::Format::BootRecords)
        return;
    check(back.ids == options.ids && back.runs == options.run && back.checks.size() == (options.verify ? 1u : 0u));
    check(back.lock.has_value() == image.lock.has_value());
    check(!back.lock || back.lock->lock == image.lock->lock);
}

static void round_trip(const firmware::Image &image, const uint8_t *data, size_t size)
{
    firmware::BootRecordOptions options;
    options.ids = image.ids;
    if (image.lock)
        options.lock_pages = static_cast<uint8_t>(~image.lock->lock);
    options.verify = !image.checks.empty();
    options.run = image.runs;
    options.write_size = 1 + data[size / 2] % EFM8_WRITE_MAX;
    options.erase_without_data = data[size - 1] & 1;
    for (firmware::Format format : {firmware::Format::BootRecords, firmware::Format::IntelHex,
                                    firmware::Format::SRecord, firmware::Format::Binary})
        write_and_read_back(image, options, format);
}

// Windows-1252's characters from 0x80 to 0x9F, where Latin-1 (and so
// UTF-16) has control codes.
static bool windows_1252_only(uint8_t c)
{
    return c >= 0x80 && c < 0xA0 && c != 0x81 && c != 0x8D && c != 0x8F && c != 0x90 && c != 0x9D;
}

// Printable ASCII, tabs and line ends, and Latin-1 or Windows-1252 beyond
// ASCII, after a UTF-8 byte-order mark or none: text by any measure.
static bool plain_text(const uint8_t *data, size_t size, size_t &start)
{
    static const uint8_t MARK[] = {0xEF, 0xBB, 0xBF};
    start = size >= 3 && std::equal(MARK, MARK + 3, data) ? 3 : 0;
    const auto text = [](uint8_t c) {
        return (c >= 0x20 && c < 0x7F) || c == '\t' || c == '\r' || c == '\n' || windows_1252_only(c) ||
               (c >= 0xA0 && c < 0xFF);  // 0xFF, 0xFE: no UTF-16 mark
    };
    return size > start && data[0] != '$' && std::all_of(data + start, data + size, text);
}

static firmware::Outcome parse_again(const std::vector<uint8_t> &file, uint32_t limit, firmware::Image &read)
{
    return firmware::parse(file.data(), file.size(), limit, read);
}

// Text is HEX or S-records, never a raw binary, and reads alike in UTF-16
// (Latin-1 as it is; Windows-1252's own characters are none of its), after
// NUL or Ctrl-Z padding to a sector, and with
// each LF a lone CR when it holds no CR of its own.
static void text_is_never_binary(const uint8_t *data, size_t size, uint32_t limit, const firmware::Image &image,
                                 const firmware::Outcome &outcome)
{
    size_t start = 0;
    if (!plain_text(data, size, start))
        return;
    check(image.format == firmware::Format::IntelHex || image.format == firmware::Format::SRecord);
    const auto alike = [&](const std::vector<uint8_t> &file) {
        firmware::Image read;
        const firmware::Outcome again = parse_again(file, limit, read);
        check(again.problem == outcome.problem && again.message == outcome.message && read.bytes == image.bytes &&
              read.format == image.format);
    };
    if (std::none_of(data + start, data + size, windows_1252_only)) {
        std::vector<uint8_t> wide = {0xFF, 0xFE};
        for (size_t i = start; i < size; ++i)
            wide.insert(wide.end(), {data[i], 0});
        alike(wide);
    }
    std::vector<uint8_t> padded(data, data + size);
    padded.resize(size + 1 + data[size / 2] % 600, size % 3 ? 0x00 : 0x1A);
    alike(padded);
    if (std::find(data + start, data + size, '\r') == data + size) {
        std::vector<uint8_t> mac(data, data + size);
        std::replace(mac.begin(), mac.end(), uint8_t('\n'), uint8_t('\r'));
        alike(mac);
    }
}

// Each verify record holds for the image, erased past its end.
static void checks_hold(const firmware::Image &image)
{
    if (image.checks.empty())
        return;
    std::vector<uint8_t> flash(image.bytes);
    flash.resize(firmware::ADDRESS_SPACE, 0xFF);
    for (const firmware::Check &c : image.checks)
        check(crc16(flash.data() + c.start, c.end - c.start + 1u) == c.crc);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Both limits the front ends use: the EFM8UB1's area and the whole space.
    const uint32_t limit = size % 2 ? 14848 : firmware::ADDRESS_SPACE;
    firmware::Image image;
    const firmware::Outcome outcome = firmware::parse(data, size, limit, image);
    if (outcome.ok()) {
        check(!image.bytes.empty() && image.bytes.size() <= limit);
        const bool raw = image.format == firmware::Format::Binary;
        check(!raw || (image.bytes.size() == size && std::equal(data, data + size, image.bytes.begin())));
        checks_hold(image);
        round_trip(image, data, size);
    } else {
        check(!outcome.message.empty() && image.bytes.empty());
    }
    text_is_never_binary(data, size, limit, image, outcome);
    // --format bin: the bytes as they are, whatever they hold.
    firmware::Image raw;
    const bool fits = size > 0 && size <= limit;
    check(firmware::parse_binary(data, size, limit, raw).ok() == fits);
    check(!fits || (raw.format == firmware::Format::Binary && raw.bytes.size() == size &&
                    std::equal(data, data + size, raw.bytes.begin())));
    return 0;
}
