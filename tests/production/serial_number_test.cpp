// Serial numbers: in every format, a number lands at its address and reads
// back as itself, never as blank flash; a place outside the application
// area, over the image's own bytes or under its CRC checks, and a number the
// format cannot hold or would write as all 0xFF, are refused with nothing
// changed.
#include "production/serial_number.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

using serial_number::Encoding;
using serial_number::Placement;

std::vector<std::string> all_formats()
{
    std::vector<std::string> formats = {"le16", "le32", "le64", "be16", "be32", "be64"};
    for (int digits = 1; digits <= 20; ++digits)
        formats.push_back("dec" + std::to_string(digits));
    for (int digits = 1; digits <= 16; ++digits)
        formats.push_back("hex" + std::to_string(digits));
    return formats;
}

// Read back the way the firmware would, independently of the encoder.
uint64_t read_back(const Placement &placement, const std::vector<uint8_t> &bytes)
{
    uint64_t value = 0;
    const std::string text(bytes.begin(), bytes.end());
    switch (placement.encoding) {
    case Encoding::LittleEndian:
        for (size_t i = bytes.size(); i-- > 0;)
            value = value << 8 | bytes[i];
        return value;
    case Encoding::BigEndian:
        for (uint8_t b : bytes)
            value = value << 8 | b;
        return value;
    case Encoding::Decimal:
        EXPECT_EQ(text.find_first_not_of("0123456789"), std::string::npos) << text;
        return std::strtoull(text.c_str(), nullptr, 10);
    case Encoding::Hex:
        EXPECT_EQ(text.find_first_not_of("0123456789ABCDEF"), std::string::npos) << text;
        return std::strtoull(text.c_str(), nullptr, 16);
    }
    return value;
}

// Small and large numbers alike, within what the format holds.
uint64_t random_number(const Placement &placement, std::mt19937_64 &rng)
{
    const uint64_t number = rng() >> (rng() % 64);
    const uint64_t most = serial_number::largest(placement);
    return most == UINT64_MAX ? number : number % (most + 1);
}

struct Case {
    Placement placement;
    uint32_t limit;
    firmware::Image image;
};

// A format at a random address, written in hex or decimal, below a random
// limit, in an image of random bytes that holds 0xFF at the place.
Case random_case(std::mt19937_64 &rng, const std::vector<std::string> &formats)
{
    const std::string format = formats[rng() % formats.size()];
    Case c;
    c.limit = uint32_t(0x100 + rng() % (firmware::ADDRESS_SPACE - 0xFF));
    Placement format_only;
    std::string error;
    EXPECT_TRUE(serial_number::parse(format + "@0", format_only, error)) << error;
    const uint32_t address = uint32_t(rng() % (c.limit - format_only.width + 1));
    char written[16];
    std::snprintf(written, sizeof written, rng() % 2 ? "%u" : "0x%x", address);
    const std::string text = format + "@" + written;
    EXPECT_TRUE(serial_number::parse(text, c.placement, error)) << text << ": " << error;
    EXPECT_EQ(c.placement.address, address) << text;
    c.image.bytes.resize(rng() % (c.limit + 1));
    for (uint8_t &b : c.image.bytes)
        b = uint8_t(rng() % 3 == 0 ? 0xFF : rng());
    for (uint32_t at = address; at < address + c.placement.width && at < c.image.bytes.size(); ++at)
        c.image.bytes[at] = 0xFF;
    return c;
}

TEST(SerialNumber, EveryFormatLandsAtItsAddressAndReadsBack)
{
    std::mt19937_64 rng(20240501);
    const std::vector<std::string> formats = all_formats();
    for (int round = 0; round < 3000; ++round) {
        const Case c = random_case(rng, formats);
        const Placement &p = c.placement;
        Placement again;
        std::string error;
        ASSERT_TRUE(serial_number::parse(serial_number::describe(p), again, error)) << error;
        EXPECT_EQ(serial_number::describe(again), serial_number::describe(p));

        const uint64_t number = random_number(p, rng);
        firmware::Image placed;
        ASSERT_TRUE(serial_number::place(c.image, c.limit, p, number, placed, error))
            << serial_number::describe(p) << " " << number << ": " << error;
        ASSERT_EQ(placed.bytes.size(), std::max<size_t>(c.image.bytes.size(), p.address + p.width));
        const std::vector<uint8_t> at(placed.bytes.begin() + p.address, placed.bytes.begin() + p.address + p.width);
        EXPECT_EQ(read_back(p, at), number) << serial_number::describe(p);
        EXPECT_FALSE(std::all_of(at.begin(), at.end(), [](uint8_t b) { return b == 0xFF; }))
            << serial_number::describe(p) << " " << number << " reads as blank flash";
        for (size_t i = 0; i < placed.bytes.size(); ++i) {
            if (i >= p.address && i < p.address + p.width)
                continue;
            ASSERT_EQ(placed.bytes[i], i < c.image.bytes.size() ? c.image.bytes[i] : 0xFF) << "byte " << i;
        }
    }
}

// The refusal names what it refuses, and leaves the output as it was.
void expect_refused(const Case &c, uint64_t number, const std::string &named)
{
    firmware::Image before;
    before.bytes = {1, 2, 3};
    firmware::Image placed = before;
    std::string error;
    ASSERT_FALSE(serial_number::place(c.image, c.limit, c.placement, number, placed, error));
    EXPECT_NE(error.find(named), std::string::npos) << error << " does not name " << named;
    EXPECT_EQ(placed.bytes, before.bytes);
}

std::string hex_address(uint64_t address)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(address));
    return text;
}

TEST(SerialNumber, OutOfAreaOverlappingAndTooLargeAreRefused)
{
    std::mt19937_64 rng(7);
    const std::vector<std::string> formats = all_formats();
    for (int round = 0; round < 1000; ++round) {
        Case c = random_case(rng, formats);
        const uint64_t number = random_number(c.placement, rng);

        Case past = c;  // shrink the area so the place crosses or passes its end
        past.limit = c.placement.address + uint32_t(rng() % c.placement.width);
        expect_refused(past, number, hex_address(c.placement.address));

        const uint64_t largest = serial_number::largest(c.placement);
        if (largest != UINT64_MAX)
            expect_refused(c, largest + 1 + rng() % (UINT64_MAX - largest), std::to_string(largest));
        // In binary, the number above the largest is every byte 0xFF, as
        // blank flash reads; the largest itself is not.
        const bool binary = c.placement.encoding == Encoding::LittleEndian || c.placement.encoding == Encoding::BigEndian;
        if (binary) {
            expect_refused(c, largest + 1, "as blank flash reads");
            std::vector<uint8_t> bytes;
            std::string error;
            ASSERT_TRUE(serial_number::encode(c.placement, largest, bytes, error)) << error;
            EXPECT_EQ(std::count(bytes.begin(), bytes.end(), 0xFF), std::ptrdiff_t(bytes.size() - 1));
        }

        const uint32_t taken = c.placement.address + uint32_t(rng() % c.placement.width);
        Case checked = c;  // a CRC check whose range reaches into the place
        const uint16_t start = uint16_t(taken - rng() % (taken + 1)), end = uint16_t(std::min<uint64_t>(taken + rng() % 8, 0xFFFF));
        checked.image.checks.push_back({start, end, 0x1234});
        expect_refused(checked, number, hex_address(start) + " to " + hex_address(end));
        if (taken < c.image.bytes.size()) {
            c.image.bytes[taken] = uint8_t(rng() % 0xFF);
            expect_refused(c, number, hex_address(taken));
        }
    }
}

TEST(SerialNumber, MalformedPlacementsAreRefusedWithTheirReason)
{
    const std::pair<const char *, const char *> refused[] = {
        {"le32", "no address"},         {"le24@0x10", "not a serial number format"},
        {"dec0@1", "not a serial"},     {"dec21@1", "not a serial"},
        {"hex17@1", "not a serial"},    {"LE32@1", "not a serial"},
        {"le32@", "not an address"},    {"le32@0x", "not an address"},
        {"le32@0x1G", "not an address"}, {"le32@-1", "not an address"},
        {"be16@ 16", "not an address"}, {"le32@0x10000", "beyond the 64 KB"},
        {"dec4@65536", "beyond the 64 KB"},
    };
    for (const auto &[text, reason] : refused) {
        Placement placement;
        placement.address = 42;
        std::string error;
        EXPECT_FALSE(serial_number::parse(text, placement, error)) << text;
        EXPECT_NE(error.find(reason), std::string::npos) << text << ": " << error;
        EXPECT_EQ(placement.address, 42u) << text;
    }
}

}  // namespace
