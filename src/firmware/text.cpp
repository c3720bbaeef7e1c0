// What counts as text, and a text file's lines as the record readers want
// them.
#include "firmware/text.h"

#include <optional>

namespace firmware {

static const std::uint8_t DOS_END_OF_FILE = 0x1A;  // some old tools end text files with it
static const std::uint8_t UTF8_MARK[] = {0xEF, 0xBB, 0xBF};
static const std::uint8_t UTF16_LITTLE_MARK[] = {0xFF, 0xFE};
static const std::uint8_t UTF16_BIG_MARK[] = {0xFE, 0xFF};

static bool is_blank(std::uint8_t byte)
{
    return byte == ' ' || (byte >= '\t' && byte <= '\r');
}

static bool is_ascii_text(std::uint8_t byte)
{
    return (byte >= 0x20 && byte < 0x7F) || is_blank(byte) || byte == DOS_END_OF_FILE;
}

// What tools pad a file with after its last line, to a sector or a block.
static bool is_padding(std::uint8_t byte)
{
    return byte == 0 || byte == DOS_END_OF_FILE;
}

// A character of Latin-1 or Windows-1252 beyond ASCII: every byte from 0x80
// but the five that Windows-1252 leaves undefined (Latin-1's C1 controls
// there are not written by any editor).
static bool is_eight_bit_text(std::uint8_t byte)
{
    return byte >= 0x80 && byte != 0x81 && byte != 0x8D && byte != 0x8F && byte != 0x90 && byte != 0x9D;
}

// How many continuation bytes follow a UTF-8 lead byte; 0 when the byte
// leads nothing.
static std::size_t continuation_bytes(std::uint8_t lead)
{
    if (lead >= 0xC2 && lead <= 0xDF)
        return 1;
    if (lead >= 0xE0 && lead <= 0xEF)
        return 2;
    if (lead >= 0xF0 && lead <= 0xF4)
        return 3;
    return 0;
}

static bool utf8(const std::uint8_t *content, std::size_t size)
{
    for (std::size_t i = 0; i < size;) {
        if (is_ascii_text(content[i])) {
            ++i;
            continue;
        }
        const std::size_t more = continuation_bytes(content[i]);
        if (more == 0 || more >= size - i)
            return false;
        for (std::size_t k = 1; k <= more; ++k)
            if ((content[i + k] & 0xC0) != 0x80)
                return false;
        i += more + 1;
    }
    return true;
}

static bool latin1(const std::uint8_t *content, std::size_t size)
{
    for (std::size_t i = 0; i < size; ++i)
        if (!is_ascii_text(content[i]) && !is_eight_bit_text(content[i]))
            return false;
    return true;
}

// UTF-8, or else Latin-1 or Windows-1252, which an editor on Windows saves;
// the bytes are kept as they are, so that line numbers stay.
static bool eight_bit_text(const std::uint8_t *content, std::size_t size, bool marked, std::vector<std::uint8_t> &text)
{
    while (size > 0 && is_padding(content[size - 1]))
        --size;
    if ((size == 0 && !marked) || (!utf8(content, size) && !latin1(content, size)))
        return false;  // padding alone is no text: all NULs are 8051 code
    text.assign(content, content + size);
    return true;
}

// One UTF-16 character, a surrogate pair taken whole; nothing when the
// units there are not a character of text.
static std::optional<std::uint8_t> utf16_character(const std::vector<std::uint16_t> &units, std::size_t &i)
{
    const std::uint16_t unit = units[i++];
    if (unit < 0x80)
        return is_ascii_text(static_cast<std::uint8_t>(unit)) ? std::optional<std::uint8_t>(unit) : std::nullopt;
    if (unit < 0xA0 || unit == 0xFFFE || unit == 0xFFFF || (unit >= 0xDC00 && unit <= 0xDFFF))
        return std::nullopt;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
        if (i == units.size() || units[i] < 0xDC00 || units[i] > 0xDFFF)
            return std::nullopt;
        ++i;
    }
    // Latin-1 as it is, so that a file reads alike in both; '?' for the rest.
    return unit <= 0xFF ? static_cast<std::uint8_t>(unit) : static_cast<std::uint8_t>('?');
}

static bool utf16_text(const std::uint8_t *content, std::size_t size, bool big_endian, std::vector<std::uint8_t> &text)
{
    if (size % 2 != 0 && is_padding(content[size - 1]))
        --size;
    if (size % 2 != 0)
        return false;
    std::vector<std::uint16_t> units;
    for (std::size_t i = 0; i < size; i += 2)
        units.push_back(static_cast<std::uint16_t>(content[i + (big_endian ? 0 : 1)] << 8 |
                                                   content[i + (big_endian ? 1 : 0)]));
    while (!units.empty() && units.back() <= 0xFF && is_padding(static_cast<std::uint8_t>(units.back())))
        units.pop_back();
    text.clear();
    for (std::size_t i = 0; i < units.size();) {
        const std::optional<std::uint8_t> character = utf16_character(units, i);
        if (!character)
            return false;
        text.push_back(*character);
    }
    return true;
}

template <std::size_t N>
static bool starts_with(const std::uint8_t *content, std::size_t size, const std::uint8_t (&mark)[N])
{
    for (std::size_t i = 0; i < N; ++i)
        if (i >= size || content[i] != mark[i])
            return false;
    return true;
}

// CRLF and a lone CR (old Mac editors) end a line as LF does.
static std::vector<std::uint8_t> line_ends(const std::uint8_t *text, std::size_t size)
{
    std::vector<std::uint8_t> lines;
    lines.reserve(size);
    for (std::size_t i = 0; i < size; ++i) {
        if (text[i] == '\r' && i + 1 < size && text[i + 1] == '\n')
            continue;
        lines.push_back(text[i] == '\r' ? '\n' : text[i]);
    }
    return lines;
}

// Each line without the blanks around it: SRecord refuses a record with a
// blank after it and skips one with a blank before it.
static std::vector<std::uint8_t> tidy_lines(const std::vector<std::uint8_t> &text)
{
    const auto loose = [](std::uint8_t byte) { return is_blank(byte) || byte == DOS_END_OF_FILE; };
    std::vector<std::uint8_t> tidy;
    tidy.reserve(text.size());
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = start;
        while (end < text.size() && text[end] != '\n')
            ++end;
        std::size_t first = start, last = end;
        while (first < last && loose(text[first]))
            ++first;
        while (last > first && loose(text[last - 1]))
            --last;
        tidy.insert(tidy.end(), text.begin() + first, text.begin() + last);
        if (end < text.size())
            tidy.push_back('\n');
        start = end + 1;
    }
    return tidy;
}

bool text_lines(const std::uint8_t *content, std::size_t size, std::vector<std::uint8_t> &lines)
{
    std::vector<std::uint8_t> text;
    bool is_text;
    if (starts_with(content, size, UTF8_MARK))
        is_text = eight_bit_text(content + sizeof UTF8_MARK, size - sizeof UTF8_MARK, true, text);
    else if (starts_with(content, size, UTF16_LITTLE_MARK) || starts_with(content, size, UTF16_BIG_MARK))
        is_text = utf16_text(content + 2, size - 2, content[0] == UTF16_BIG_MARK[0], text);
    else
        is_text = eight_bit_text(content, size, false, text);
    if (is_text)
        lines = tidy_lines(line_ends(text.data(), text.size()));
    return is_text;
}

static int hex_digit(std::uint8_t c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The bytes a record's hex digits spell, or nothing when they do not.
static std::optional<std::vector<std::uint8_t>> hex_bytes(const std::uint8_t *digits, std::size_t count)
{
    if (count % 2 != 0)
        return std::nullopt;
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < count; i += 2) {
        const int high = hex_digit(digits[i]), low = hex_digit(digits[i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(high << 4 | low));
    }
    return bytes;
}

bool well_formed_record(const std::uint8_t *line, std::size_t size)
{
    if (size > 1 && line[0] == ':') {
        const auto bytes = hex_bytes(line + 1, size - 1);
        std::uint8_t sum = 0;
        for (std::uint8_t b : bytes.value_or(std::vector<std::uint8_t>{}))
            sum = static_cast<std::uint8_t>(sum + b);
        return bytes && bytes->size() >= 5 && bytes->size() == (*bytes)[0] + 5u && sum == 0;
    }
    if (size > 2 && line[0] == 'S' && line[1] >= '0' && line[1] <= '9') {
        const auto bytes = hex_bytes(line + 2, size - 2);
        std::uint8_t sum = 0;
        for (std::uint8_t b : bytes.value_or(std::vector<std::uint8_t>{}))
            sum = static_cast<std::uint8_t>(sum + b);
        return bytes && bytes->size() >= 2 && bytes->size() == (*bytes)[0] + 1u && sum == 0xFF;
    }
    return false;
}

std::vector<std::uint8_t> any_lines(const std::uint8_t *content, std::size_t size)
{
    while (size > 0 && is_padding(content[size - 1]))
        --size;
    return tidy_lines(line_ends(content, size));
}

bool record_lines(const std::uint8_t *content, std::size_t size, std::vector<std::uint8_t> &lines)
{
    std::vector<std::uint8_t> tidy = any_lines(content, size);
    std::size_t start = 0;
    while (start < tidy.size() && tidy[start] == '\n')
        ++start;
    std::size_t end = start;
    while (end < tidy.size() && tidy[end] != '\n')
        ++end;
    if (!well_formed_record(tidy.data() + start, end - start))
        return false;
    lines = std::move(tidy);
    return true;
}

std::size_t first_line_not_text(const std::vector<std::uint8_t> &lines)
{
    std::size_t line = 1;
    for (std::uint8_t byte : lines) {
        if (byte == '\n')
            ++line;
        else if (!is_ascii_text(byte) && !is_eight_bit_text(byte))
            return line;
    }
    return 0;
}

}  // namespace firmware
