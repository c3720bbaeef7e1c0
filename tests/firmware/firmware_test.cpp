// The loader: the same image written as raw binary, Intel HEX and S-records
// in all their usual shapes loads to the same bytes; broken files name the
// line and never load.
#include "firmware/firmware.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const uint32_t UB1_AREA = 14848;

firmware::Outcome parse(const std::string &text, firmware::Image &image, uint32_t limit = UB1_AREA)
{
    return firmware::parse(reinterpret_cast<const uint8_t *>(text.data()), text.size(), limit, image);
}

std::string hex_bytes(const Bytes &bytes)
{
    std::string out;
    char two[3];
    for (uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02X", b);
        out += two;
    }
    return out;
}

// Intel HEX record: count, address, type, data, two's complement checksum.
std::string hex_record(int type, uint32_t address, const Bytes &data)
{
    Bytes body = {uint8_t(data.size()), uint8_t(address >> 8), uint8_t(address), uint8_t(type)};
    body.insert(body.end(), data.begin(), data.end());
    uint8_t sum = 0;
    for (uint8_t b : body)
        sum = uint8_t(sum + b);
    body.push_back(uint8_t(-sum));
    return ":" + hex_bytes(body);
}

// S-record: type, count, address of 2, 3 or 4 bytes, data, one's complement checksum.
std::string s_record(int type, uint32_t address, const Bytes &data)
{
    const int address_bytes = type == 2 || type == 8 ? 3 : type == 3 || type == 7 ? 4 : 2;
    Bytes body = {uint8_t(address_bytes + data.size() + 1)};
    for (int i = address_bytes - 1; i >= 0; --i)
        body.push_back(uint8_t(address >> (8 * i)));
    body.insert(body.end(), data.begin(), data.end());
    uint8_t sum = 0;
    for (uint8_t b : body)
        sum = uint8_t(sum + b);
    body.push_back(uint8_t(~sum));
    return "S" + std::to_string(type) + hex_bytes(body);
}

struct Chunk {
    uint32_t address;
    Bytes data;
};

// The image's non-0xFF stretches, cut into records of random length.
std::vector<Chunk> chunks_of(const Bytes &image, std::mt19937 &rng)
{
    std::vector<Chunk> chunks;
    for (uint32_t at = 0; at < image.size();) {
        if (image[at] == 0xFF && at + 1 != image.size()) {
            ++at;
            continue;
        }
        const uint32_t len = std::min<uint32_t>(1 + rng() % 32, uint32_t(image.size()) - at);
        chunks.push_back({at, Bytes(image.begin() + at, image.begin() + at + len)});
        at += len;
    }
    std::shuffle(chunks.begin(), chunks.end(), rng);
    return chunks;
}

std::string as_hex(const Bytes &image, std::mt19937 &rng)
{
    const bool lower = rng() % 2, crlf = rng() % 2, blanks = rng() % 4 == 0;
    std::string text;
    auto line = [&](std::string record) {
        if (lower)
            for (char &c : record)
                c = char(std::tolower(c));
        if (blanks)
            record = " \t" + record + "  ";
        text += record + (crlf ? "\r\n" : "\n");
    };
    if (rng() % 2)
        line(hex_record(4, 0, {0, 0}));  // extended linear address 0
    for (const Chunk &chunk : chunks_of(image, rng))
        line(hex_record(0, chunk.address, chunk.data));
    if (rng() % 2)
        line(hex_record(5, 0, {0, 0, 0, 0}));  // start address, ignored
    line(hex_record(1, 0, {}));
    if (rng() % 2)
        text += crlf ? "\r\n" : "\n";  // a trailing blank line
    return text;
}

// The byte-order mark some editors put first.
std::string with_mark(const std::string &text, std::mt19937 &rng)
{
    return rng() % 3 == 0 ? "\xEF\xBB\xBF" + text : text;
}

std::string as_srecords(const Bytes &image, std::mt19937 &rng)
{
    const int data_type = 1 + int(rng() % 3);
    std::string text;
    if (rng() % 2)
        text += s_record(0, 0, {'k', 'e', 's'}) + "\n";
    for (const Chunk &chunk : chunks_of(image, rng))
        text += s_record(data_type, chunk.address, chunk.data) + "\n";
    text += s_record(10 - data_type, 0, {}) + "\n";  // S9, S8 or S7
    return text;
}

TEST(Firmware, TheSameImageLoadsAlikeFromEveryFormat)
{
    std::mt19937 rng(14848);
    for (int round = 0; round < 200; ++round) {
        Bytes image(1 + rng() % UB1_AREA, 0xFF);
        for (int stretches = 1 + rng() % 4; stretches > 0; --stretches) {
            const size_t at = rng() % image.size(), len = std::min<size_t>(1 + rng() % 3000, image.size() - at);
            for (size_t i = at; i < at + len; ++i)
                image[i] = uint8_t(rng());
        }
        image.back() = uint8_t(rng() % 0xFF);  // the image ends at its last written byte

        const std::string hex = with_mark(as_hex(image, rng), rng), srec = with_mark(as_srecords(image, rng), rng);
        SCOPED_TRACE("round " + std::to_string(round) + "\n" + hex.substr(0, 200));
        firmware::Image from_bin, from_hex, from_srec;
        ASSERT_TRUE(firmware::parse(image.data(), image.size(), UB1_AREA, from_bin).ok());
        const firmware::Outcome hex_outcome = parse(hex, from_hex);
        ASSERT_TRUE(hex_outcome.ok()) << hex_outcome.message;
        const firmware::Outcome srec_outcome = parse(srec, from_srec);
        ASSERT_TRUE(srec_outcome.ok()) << srec_outcome.message;
        EXPECT_EQ(from_bin.format, firmware::Format::Binary);
        EXPECT_EQ(from_hex.format, firmware::Format::IntelHex);
        EXPECT_EQ(from_srec.format, firmware::Format::SRecord);
        ASSERT_EQ(from_hex.bytes, image);
        ASSERT_EQ(from_srec.bytes, image);
        ASSERT_EQ(from_bin.bytes, image);
    }
}

struct Broken {
    const char *name;
    std::string text;
    firmware::Problem problem;
    const char *message;
};

const std::string END = hex_record(1, 0, {});

class BrokenFiles : public ::testing::TestWithParam<Broken> {};

TEST_P(BrokenFiles, NameTheLineAndLoadNothing)
{
    const Broken &broken = GetParam();
    firmware::Image image;
    const firmware::Outcome outcome = parse(broken.text, image);
    EXPECT_EQ(outcome.problem, broken.problem);
    EXPECT_EQ(outcome.message.substr(0, std::string(broken.message).size()), broken.message) << outcome.message;
    EXPECT_TRUE(image.bytes.empty());
}

std::string lines(std::initializer_list<std::string> records)
{
    std::string text;
    for (const std::string &record : records)
        text += record + "\n";
    return text;
}

INSTANTIATE_TEST_SUITE_P(
    Hex, BrokenFiles,
    ::testing::Values(
        Broken{"BadChecksum", lines({hex_record(0, 0, {1, 2}), ":0200100001020A", END}), firmware::Problem::Malformed,
               "line 2: checksum mismatch"},
        Broken{"Truncated", lines({hex_record(0, 0, {1, 2}).substr(0, 9), END}), firmware::Problem::Malformed,
               "line 1: "},
        Broken{"UnknownType", lines({hex_record(0, 0, {1}), hex_record(6, 0, {1}), END}),
               firmware::Problem::Malformed, "line 2: record type not recognised"},
        Broken{"OverlapDiffers", lines({hex_record(0, 0, {1, 2, 3}), hex_record(0, 2, {9}), END}),
               firmware::Problem::Malformed, "line 2: data at 0x0002 differs from an earlier record"},
        Broken{"BeyondTheArea", lines({hex_record(0, 0x39FF, {1, 2}), END}), firmware::Problem::TooLarge,
               "line 1: data at 0x3A00 lies beyond the 14848-byte application area"},
        Broken{"BeyondTheAddressSpace", lines({hex_record(4, 0, {0, 1}), hex_record(0, 0, {1}), END}),
               firmware::Problem::TooLarge, "line 2: data at 0x10000 lies beyond the 14848-byte application area"},
        Broken{"NoEndRecord", lines({hex_record(0, 0, {1})}), firmware::Problem::Malformed,
               "line 1: no end-of-file record"},
        // SRecord would skip the line, and its data with it.
        Broken{"NotARecord", lines({hex_record(0, 0, {1}), "; 0100010002FC", END}), firmware::Problem::Malformed,
               "line 2: not a record"},
        Broken{"NoData", lines({END}), firmware::Problem::Malformed, "line 1: file contains no data"},
        // SRecord would stop at the end and drop the rest.
        Broken{"AfterTheEnd", lines({hex_record(0, 0, {1}), END, END, hex_record(0, 1, {2})}),
               firmware::Problem::Malformed, "line 4: after the end-of-file record on line 2"},
        Broken{"CommentFirst", lines({"# fw 1.2", hex_record(0, 0, {1}), END}), firmware::Problem::Malformed,
               "line 1: not a record"},
        Broken{"HtmlPage", "\n<html><body>404 \xC2\xA9 2026</body></html>\n", firmware::Problem::Malformed,
               "line 2: neither an Intel HEX record nor an S-record, and a text file is never read as a raw binary"},
        Broken{"BlankLines", " \r\n\t\n", firmware::Problem::Malformed, "the file holds nothing but blank lines"}),
    [](const auto &info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    SRecord, BrokenFiles,
    ::testing::Values(Broken{"WrongCount", lines({s_record(1, 0, {1, 2}), s_record(5, 2, {})}),
                             firmware::Problem::Malformed,
                             "line 2: the record count says 2 data records, but 1 come before it"},
                      Broken{"BadChecksum", lines({"S1050000010200", s_record(9, 0, {})}),
                             firmware::Problem::Malformed, "line 1: checksum mismatch"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Firmware, OverlapWithTheSameBytesAndTheWholeAddressSpaceLoad)
{
    firmware::Image image;
    const std::string text = lines({hex_record(0, 0, {1, 2, 3}), hex_record(0, 1, {2}),
                                    hex_record(4, 0, {0, 0}), hex_record(0, 0xFFFF, {7}), END});
    ASSERT_TRUE(parse(text, image, firmware::ADDRESS_SPACE).ok());
    ASSERT_EQ(image.bytes.size(), 0x10000u);
    EXPECT_EQ(image.bytes[2], 3);
    EXPECT_EQ(image.bytes[3], 0xFF);
    EXPECT_EQ(image.bytes[0xFFFF], 7);
    const firmware::Outcome outcome = parse(lines({hex_record(2, 0, {0x10, 0}), hex_record(0, 0, {1}), END}),
                                            image, firmware::ADDRESS_SPACE);
    EXPECT_EQ(outcome.message, "line 2: data at 0x10000 lies beyond the 64 KB address space");
}

TEST(Firmware, FormatIsToldByContent)
{
    auto format = [](const std::string &text) {
        return firmware::format_of(reinterpret_cast<const uint8_t *>(text.data()), text.size());
    };
    EXPECT_EQ(format("\r\n  :00000001FF\r\n\x1A"), firmware::Format::IntelHex);
    EXPECT_EQ(format("S9030000FC\n"), firmware::Format::SRecord);
    EXPECT_EQ(format(std::string(":0\0x", 4)), firmware::Format::Binary) << "not text";
    EXPECT_EQ(format("\x02\x01\x00:00000001FF\n"), firmware::Format::Binary) << "code";
    EXPECT_EQ(format("\xEF\xBB\xBF:00000001FF\n"), firmware::Format::IntelHex);
    EXPECT_EQ(format("# made by hand\nS9030000FC\n"), firmware::Format::SRecord) << "by its first record";
    EXPECT_EQ(format("SX"), firmware::Format::IntelHex) << "text, so never a raw binary";
    EXPECT_EQ(format(std::string("\xFF\xFES\0" "9\0", 6)), firmware::Format::SRecord) << "UTF-16";
    EXPECT_EQ(format(std::string("\xFF\xFES\0\x01\0", 6)), firmware::Format::Binary) << "not text in UTF-16";
    EXPECT_EQ(format("\xC3("), firmware::Format::IntelHex) << "not UTF-8, but Latin-1";
    EXPECT_EQ(format("\xC3\x01"), firmware::Format::Binary) << "neither";
    EXPECT_EQ(format(""), firmware::Format::Binary);

    firmware::Image image;
    EXPECT_EQ(parse("", image).problem, firmware::Problem::Empty);
    EXPECT_EQ(parse(std::string(UB1_AREA + 1, '\0'), image).message,
              "the image is 14849 bytes, larger than the 14848-byte application area");
    const firmware::Outcome huge = parse(":" + std::string(firmware::MAX_FILE_SIZE, '0'), image);
    EXPECT_EQ(huge.problem, firmware::Problem::Malformed);
}

// Printable ASCII, tabs and line ends, in random lines: a few records, the
// rest anything. A file that is all text is never a raw binary.
std::string random_text(std::mt19937 &rng)
{
    static const char CHARACTERS[] = "\t\r :S0123456789ABCDEF#<>abc";
    std::string text;
    for (int lines = rng() % 6; lines > 0; --lines) {
        const unsigned kind = rng() % 4;
        if (kind == 0)
            text += hex_record(rng() % 2, rng() % 0x4000, {uint8_t(rng())});
        else if (kind == 1)
            text += s_record(1 + rng() % 9, rng() % 0x4000, {uint8_t(rng())});
        for (int chars = rng() % 40; chars > 0; --chars)
            text += CHARACTERS[rng() % (sizeof CHARACTERS - 1)];
        text += rng() % 2 ? "\r\n" : "\n";
    }
    return with_mark(text, rng);
}

std::string utf16(const std::string &text)
{
    std::string wide = "\xFF\xFE";
    for (char c : text)
        wide += std::string{c, '\0'};
    return wide;
}

TEST(Firmware, TextIsNeverARawBinaryAndALineThatIsNoRecordIsNamed)
{
    std::mt19937 rng(0x7E47);
    for (int round = 0; round < 2000; ++round) {
        const std::string text = random_text(rng);
        if (text.empty())
            continue;
        SCOPED_TRACE("round " + std::to_string(round) + ": " + text);
        firmware::Image image;
        const firmware::Outcome outcome = parse(text, image);
        EXPECT_NE(image.format, firmware::Format::Binary);
        EXPECT_TRUE(outcome.ok() || outcome.message.compare(0, 5, "line ") == 0 ||
                    outcome.message == "the file holds nothing but blank lines")
            << outcome.message;
        firmware::Image wide;
        const std::string unmarked = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? text.substr(3) : text;
        const firmware::Outcome wide_outcome = parse(utf16(unmarked), wide);
        EXPECT_EQ(wide_outcome.message, outcome.message) << "UTF-16 reads as UTF-8 does";
        EXPECT_EQ(wide.bytes, image.bytes);
    }
    // A line that is no record, anywhere in a good HEX file, even after its
    // end, is named.
    for (int round = 0; round < 200; ++round) {
        const Bytes image(1 + rng() % 600, uint8_t(rng()));
        std::string hex = as_hex(image, rng);
        size_t at = 0, line = 1;
        for (int skip = rng() % 6; skip > 0 && hex.find('\n', at) != std::string::npos; --skip, ++line)
            at = hex.find('\n', at) + 1;
        hex.insert(at, std::string("#;<a").substr(rng() % 4) + "0100000001AA54\n");
        firmware::Image loaded;
        const firmware::Outcome outcome = parse(with_mark(hex, rng), loaded);
        const std::string named = "line " + std::to_string(line) + ": ";
        EXPECT_EQ(outcome.message.substr(0, named.size()), named) << hex << outcome.message;
        EXPECT_TRUE(loaded.bytes.empty());
    }
}

TEST(Firmware, UnreadableFilesSayWhy)
{
    std::vector<uint8_t> content;
    const firmware::Outcome outcome = firmware::read_file("/nonexistent/firmware.hex", content);
    EXPECT_EQ(outcome.problem, firmware::Problem::Unreadable);
    EXPECT_EQ(outcome.message, "/nonexistent/firmware.hex: No such file or directory");
    EXPECT_EQ(firmware::read_file("/proc/self/mem", content).problem, firmware::Problem::Unreadable);
}

// Each size read back whole, up to one byte past the most the loader takes
// (which is how a file too large is told); a small file is not held in a
// buffer of the largest's size.
TEST(Firmware, FilesAreReadWholeToOneBytePastTheLimit)
{
    std::mt19937 rng(7);
    const size_t most = firmware::MAX_FILE_SIZE + 1;
    std::vector<size_t> sizes = {0, 1, 65535, 65536, 65537, 131073, most - 1, most, most + 4097};
    for (int i = 0; i < 6; ++i)
        sizes.push_back(std::uniform_int_distribution<size_t>(0, most + 70000)(rng));
    char path[] = "/tmp/kestrane-read-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    for (size_t size : sizes) {
        Bytes written(size);
        for (uint8_t &byte : written)
            byte = uint8_t(rng());
        FILE *file = std::fopen(path, "wb");
        ASSERT_NE(file, nullptr);
        // An empty vector's data() may be null, which fwrite may not take.
        if (size > 0) {
            ASSERT_EQ(std::fwrite(written.data(), 1, size, file), size);
        }
        std::fclose(file);
        std::vector<uint8_t> content;
        ASSERT_TRUE(firmware::read_file(path, content).ok()) << size;
        written.resize(std::min(size, most));
        EXPECT_TRUE(content == written) << size << " bytes read as " << content.size();
        if (size <= 4096) {
            EXPECT_LT(content.capacity(), 1024u * 1024) << size;
        }
    }
    unlink(path);
}

}  // namespace
