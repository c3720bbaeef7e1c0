#include "production/serial_number.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <limits>

namespace serial_number {

static const unsigned MAX_DECIMAL_DIGITS = 20;  // 18446744073709551615
static const unsigned MAX_HEX_DIGITS = 16;
static const char HEX_DIGITS[] = "0123456789ABCDEF";
static const char FORMATS[] = "le16, le32, le64, be16, be32, be64, decN or hexN";

static std::string hex(std::uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

static bool binary(Encoding encoding)
{
    return encoding == Encoding::LittleEndian || encoding == Encoding::BigEndian;
}

// A whole string of digits in base, nothing else.
static bool read_number(const std::string &text, int base, std::uint64_t &value)
{
    const char *end = text.data() + text.size();
    const std::from_chars_result read = std::from_chars(text.data(), end, value, base);
    return !text.empty() && read.ec == std::errc() && read.ptr == end;
}

static bool parse_format(const std::string &text, Placement &placement, std::string &error)
{
    struct Prefix {
        const char *name;
        Encoding encoding;
    };
    static const Prefix PREFIXES[] = {{"le", Encoding::LittleEndian},
                                      {"be", Encoding::BigEndian},
                                      {"dec", Encoding::Decimal},
                                      {"hex", Encoding::Hex}};
    for (const Prefix &prefix : PREFIXES) {
        const std::string name = prefix.name;
        std::uint64_t size = 0;
        if (text.compare(0, name.size(), name) != 0 || !read_number(text.substr(name.size()), 10, size))
            continue;
        placement.encoding = prefix.encoding;
        if (binary(prefix.encoding) && (size == 16 || size == 32 || size == 64)) {
            placement.width = unsigned(size / 8);
            return true;
        }
        const unsigned most = prefix.encoding == Encoding::Decimal ? MAX_DECIMAL_DIGITS : MAX_HEX_DIGITS;
        if (!binary(prefix.encoding) && size >= 1 && size <= most) {
            placement.width = unsigned(size);
            return true;
        }
        break;
    }
    error = "'" + text + "' is not a serial number format: use " + FORMATS;
    return false;
}

static bool parse_address(const std::string &text, std::uint32_t &address, std::string &error)
{
    const bool in_hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    std::uint64_t value = 0;
    if (!read_number(in_hex ? text.substr(2) : text, in_hex ? 16 : 10, value)) {
        error = "'" + text + "' is not an address: give it in hex (0x3FF0) or decimal";
        return false;
    }
    if (value >= firmware::ADDRESS_SPACE) {
        error = "address " + hex(value) + " is beyond the 64 KB an EFM8 address reaches";
        return false;
    }
    address = std::uint32_t(value);
    return true;
}

bool parse(const std::string &text, Placement &placement, std::string &error)
{
    const std::size_t at = text.find('@');
    if (at == std::string::npos) {
        error = "'" + text + "' gives no address: write FORMAT@ADDRESS, e.g. le32@0x3FF0";
        return false;
    }
    Placement read;
    if (!parse_format(text.substr(0, at), read, error) || !parse_address(text.substr(at + 1), read.address, error))
        return false;
    placement = read;
    return true;
}

static std::string format_name(const Placement &placement)
{
    switch (placement.encoding) {
    case Encoding::LittleEndian:
        return "le" + std::to_string(placement.width * 8);
    case Encoding::BigEndian:
        return "be" + std::to_string(placement.width * 8);
    case Encoding::Decimal:
        return "dec" + std::to_string(placement.width);
    case Encoding::Hex:
        break;
    }
    return "hex" + std::to_string(placement.width);
}

std::string describe(const Placement &placement)
{
    return format_name(placement) + "@" + hex(placement.address);
}

// Every byte 0xFF: the number blank flash reads as, in a binary format.
static std::uint64_t all_ones(const Placement &placement)
{
    return placement.width >= 8 ? std::numeric_limits<std::uint64_t>::max()
                                : (std::uint64_t(1) << (8 * placement.width)) - 1;
}

std::uint64_t largest(const Placement &placement)
{
    const std::uint64_t all = std::numeric_limits<std::uint64_t>::max();
    switch (placement.encoding) {
    case Encoding::LittleEndian:
    case Encoding::BigEndian:
        return all_ones(placement) - 1;
    case Encoding::Hex:
        return placement.width >= MAX_HEX_DIGITS ? all : (std::uint64_t(1) << (4 * placement.width)) - 1;
    case Encoding::Decimal:
        break;
    }
    if (placement.width >= MAX_DECIMAL_DIGITS)
        return all;
    std::uint64_t most = 9;
    for (unsigned digit = 1; digit < placement.width; ++digit)
        most = most * 10 + 9;
    return most;
}

std::string refusal(const Placement &placement, std::uint64_t number)
{
    const std::string most = " (at most " + std::to_string(largest(placement)) + ")";
    if (number <= largest(placement))
        return "";
    if (binary(placement.encoding) && number == all_ones(placement))
        return "is " + hex(number) + " in " + describe(placement) +
               ", as blank flash reads: the board would look unnumbered" + most;
    return "does not fit " + describe(placement) + most;
}

// Digits fill from the right; the rest stay '0'.
static void write_digits(std::uint64_t number, unsigned base, std::vector<std::uint8_t> &bytes)
{
    for (std::size_t i = bytes.size(); i-- > 0; number /= base)
        bytes[i] = std::uint8_t(HEX_DIGITS[number % base]);
}

bool encode(const Placement &placement, std::uint64_t number, std::vector<std::uint8_t> &bytes,
            std::string &error)
{
    const std::string refused = refusal(placement, number);
    if (!refused.empty()) {
        error = "serial number " + std::to_string(number) + " " + refused;
        return false;
    }
    std::vector<std::uint8_t> out(placement.width, '0');
    switch (placement.encoding) {
    case Encoding::LittleEndian:
        for (unsigned i = 0; i < placement.width; ++i)
            out[i] = std::uint8_t(number >> (8 * i));
        break;
    case Encoding::BigEndian:
        for (unsigned i = 0; i < placement.width; ++i)
            out[placement.width - 1 - i] = std::uint8_t(number >> (8 * i));
        break;
    case Encoding::Decimal:
        write_digits(number, 10, out);
        break;
    case Encoding::Hex:
        write_digits(number, 16, out);
        break;
    }
    bytes = std::move(out);
    return true;
}

// Why the place cannot take the number, or empty when it can.
static std::string place_refusal(const firmware::Image &image, std::uint32_t limit, const Placement &placement)
{
    const std::uint64_t end = std::uint64_t(placement.address) + placement.width;
    const std::string where = describe(placement) + " (" + hex(placement.address) + " to " + hex(end - 1) + ")";
    if (end > limit)
        return where + " runs past the application area, which ends at " + hex(std::uint64_t(limit) - 1);
    for (std::uint64_t at = placement.address; at < end && at < image.bytes.size(); ++at)
        if (image.bytes[at] != EFM8_ERASED) {
            char found[8];
            std::snprintf(found, sizeof found, "0x%02X", image.bytes[at]);
            return "the image holds " + std::string(found) + " at " + hex(at) + ", inside " + where +
                   ": a serial number goes only where the image has 0xFF";
        }
    // A boot-record file's CRC checks were computed without the number.
    for (const firmware::Check &check : image.checks)
        if (check.start < end && check.end >= placement.address)
            return "the image's CRC check over " + hex(check.start) + " to " + hex(check.end) + " covers " + where +
                   ", and would fail with the number there";
    return "";
}

bool place(const firmware::Image &image, std::uint32_t limit, const Placement &placement,
           std::uint64_t number, firmware::Image &placed, std::string &error)
{
    std::vector<std::uint8_t> bytes;
    if (!encode(placement, number, bytes, error))
        return false;
    const std::string refusal = place_refusal(image, limit, placement);
    if (!refusal.empty()) {
        error = refusal;
        return false;
    }
    firmware::Image copy = image;
    const std::size_t end = placement.address + bytes.size();
    if (copy.bytes.size() < end)
        copy.bytes.resize(end, EFM8_ERASED);
    std::copy(bytes.begin(), bytes.end(), copy.bytes.begin() + placement.address);
    placed = std::move(copy);
    return true;
}

}  // namespace serial_number
