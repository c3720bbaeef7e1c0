// Checks over a text file's lines that SRecord does not make, or makes in
// words that would mislead.
#include "firmware/record_checks.h"

#include <algorithm>
#include <functional>
#include <string>

namespace firmware {

namespace {

struct Line {
    std::size_t number;
    const std::uint8_t *text;
    std::size_t size;
};

}  // namespace

// Calls see on each line that holds anything until it returns an outcome
// that is not ok.
static Outcome each_line(const std::vector<std::uint8_t> &lines, const std::function<Outcome(const Line &)> &see)
{
    std::size_t number = 1;
    for (std::size_t start = 0; start < lines.size(); ++number) {
        std::size_t stop = start;
        while (stop < lines.size() && lines[stop] != '\n')
            ++stop;
        if (stop > start) {
            const Outcome outcome = see(Line{number, lines.data() + start, stop - start});
            if (!outcome.ok())
                return outcome;
        }
        start = stop + 1;
    }
    return {};
}

static std::string line_text(std::size_t number)
{
    return "line " + std::to_string(number) + ": ";
}

static bool is_intel_end(const Line &line)
{
    static const char END_TYPE[] = "01";
    const std::size_t type_at = 7;  // ":LLAAAATT"
    return line.size > type_at + 1 && line.text[0] == ':' && std::equal(END_TYPE, END_TYPE + 2, line.text + type_at);
}

Outcome check_after_end(const std::vector<std::uint8_t> &lines)
{
    std::size_t end_line = 0;
    return each_line(lines, [&](const Line &line) -> Outcome {
        const bool end = is_intel_end(line);
        if (end_line != 0 && !end)
            return {Problem::Malformed,
                    line_text(line.number) + "after the end-of-file record on line " + std::to_string(end_line)};
        if (end_line == 0 && end)
            end_line = line.number;
        return {};
    });
}

static int hex_value(std::uint8_t c)
{
    const std::string digits = "0123456789ABCDEF";
    const std::size_t at = digits.find(static_cast<char>(c >= 'a' && c <= 'f' ? c - 'a' + 'A' : c));
    return at == std::string::npos ? -1 : static_cast<int>(at);
}

// The byte at a record's hex digits [at, at + 2), or -1.
static int byte_at(const Line &line, std::size_t at)
{
    if (at + 2 > line.size)
        return -1;
    const int high = hex_value(line.text[at]), low = hex_value(line.text[at + 1]);
    return high < 0 || low < 0 ? -1 : high << 4 | low;
}

static bool is_srecord(const Line &line, char type)
{
    return line.size >= 4 && line.text[0] == 'S' && line.text[1] == type;
}

// An S5 record's count, against the data records before it.
static Outcome check_count(const Line &line, std::uint32_t data_records)
{
    const bool three = line.text[1] == '6';
    const int length = byte_at(line, 2);
    std::uint32_t count = 0;
    for (int i = 0; i < (three ? 3 : 2); ++i) {
        const int byte = byte_at(line, 4 + 2 * static_cast<std::size_t>(i));
        if (byte < 0 || length != (three ? 4 : 3))
            return {};  // SRecord names what is wrong with the record itself
        count = count << 8 | static_cast<std::uint32_t>(byte);
    }
    if (count == data_records)
        return {};
    return {Problem::Malformed, line_text(line.number) + "the record count says " + std::to_string(count) +
                                    " data records, but " + std::to_string(data_records) + " come before it"};
}

// SDCC 4.2's S19: every S1 record's address field holds three bytes, the
// first 0, so read as S1 (two address bytes) two records at different
// addresses land on one and disagree there. Only such a file is named so:
// any other reads as it always did.
static bool sdcc_24_bit(const std::vector<const Line *> &s1)
{
    std::vector<int> seen(0x100, -1);
    bool disagree = false;
    for (const Line *line : s1) {
        const int length = byte_at(*line, 2), high = byte_at(*line, 4), middle = byte_at(*line, 6),
                  low = byte_at(*line, 8);
        if (length < 4 || high != 0 || middle < 0 || low < 0)
            return false;
        disagree = disagree || (seen[middle] >= 0 && seen[middle] != low);
        seen[middle] = low;
    }
    return disagree;
}

Outcome check_srecords(const std::vector<std::uint8_t> &lines)
{
    std::uint32_t data_records = 0;
    std::vector<Line> all;
    const Outcome counted = each_line(lines, [&](const Line &line) -> Outcome {
        all.push_back(line);
        if (is_srecord(line, '5') || is_srecord(line, '6'))
            return check_count(line, data_records);
        if (is_srecord(line, '1') || is_srecord(line, '2') || is_srecord(line, '3'))
            ++data_records;
        return {};
    });
    std::vector<const Line *> s1;
    bool wider = false;
    for (const Line &line : all) {
        if (is_srecord(line, '1'))
            s1.push_back(&line);
        wider = wider || is_srecord(line, '2') || is_srecord(line, '3');
    }
    if (!wider && !s1.empty() && sdcc_24_bit(s1))
        return {Problem::Malformed,
                line_text(s1.front()->number) + "S1 records that carry 24-bit addresses, as SDCC 4.2's --out-fmt-s19 "
                                                "writes them, where S1 carries 16: flash the .ihx file SDCC "
                                                "writes instead"};
    return counted;
}

Outcome check_kind(const std::vector<std::uint8_t> &lines, Format asked)
{
    const bool hex = asked == Format::IntelHex;
    return each_line(lines, [&](const Line &line) -> Outcome {
        const bool kind = hex ? line.text[0] == ':'
                              : line.size >= 2 && line.text[0] == 'S' && line.text[1] >= '0' && line.text[1] <= '9';
        if (kind)
            return {};
        return {Problem::Malformed, line_text(line.number) + (hex ? "not an Intel HEX record, and the file was to be Intel HEX"
                                                                   : "not an S-record, and the file was to be S-records")};
    });
}

}  // namespace firmware
