// What counts as text, and a text file's lines as the record readers want
// them.
#include "firmware/text.h"

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

static bool utf8_text(const std::uint8_t *content, std::size_t size, std::vector<std::uint8_t> &text)
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
    text.assign(content, content + size);
    return true;
}

// ASCII in UTF-16 only: a raw image that starts with a UTF-16 mark would
// hardly pass for that.
static bool utf16_text(const std::uint8_t *content, std::size_t size, bool big_endian, std::vector<std::uint8_t> &text)
{
    if (size % 2 != 0)
        return false;
    text.clear();
    for (std::size_t i = 0; i < size; i += 2) {
        const std::uint8_t high = content[i + (big_endian ? 0 : 1)], low = content[i + (big_endian ? 1 : 0)];
        if (high != 0 || !is_ascii_text(low))
            return false;
        text.push_back(low);
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
        is_text = utf8_text(content + sizeof UTF8_MARK, size - sizeof UTF8_MARK, text);
    else if (starts_with(content, size, UTF16_LITTLE_MARK) || starts_with(content, size, UTF16_BIG_MARK))
        is_text = utf16_text(content + 2, size - 2, content[0] == UTF16_BIG_MARK[0], text);
    else
        is_text = utf8_text(content, size, text);
    if (is_text)
        lines = tidy_lines(text);
    return is_text;
}

}  // namespace firmware
