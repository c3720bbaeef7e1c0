// Text as editors and toolchains leave it: Latin-1 and Windows-1252, NUL and
// Ctrl-Z padding, lone CR line ends, lines of records among binary junk;
// S-records without start, header or count records, SDCC's S1 records with
// 24-bit addresses, and a format a user insists on.
#include "firmware/firmware.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

const uint32_t AREA = 14848;

firmware::Outcome parse(const std::string &text, firmware::Image &image)
{
    return firmware::parse(reinterpret_cast<const uint8_t *>(text.data()), text.size(), AREA, image);
}

firmware::Outcome parse_as(const std::string &text, firmware::Format format, firmware::Image &image)
{
    return firmware::parse_as(reinterpret_cast<const uint8_t *>(text.data()), text.size(), AREA, format, image);
}

const std::string HEX = ":0300000002000AF1\n:0100030055A7\n:00000001FF\n";
const std::vector<uint8_t> HEX_IMAGE = {0x02, 0x00, 0x0A, 0x55};

// Latin-1 and Windows-1252 bytes, whatever their order: text, refused with
// its line, never a raw binary.
TEST(TextForms, EightBitTextIsNeverBinary)
{
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        std::string text = "fw ";
        for (int i = 0; i < 40; ++i) {
            const uint8_t byte = static_cast<uint8_t>(0x80 + rng() % 0x80);
            if (byte != 0x81 && byte != 0x8D && byte != 0x8F && byte != 0x90 && byte != 0x9D)
                text += static_cast<char>(byte);
        }
        firmware::Image image;
        const firmware::Outcome outcome = parse(text + "\n", image);
        EXPECT_EQ(image.format, firmware::Format::IntelHex);
        EXPECT_EQ(outcome.message.substr(0, 8), "line 1: ") << outcome.message;
        EXPECT_TRUE(image.bytes.empty());
    }
    firmware::Image image;
    EXPECT_EQ(parse("; Ge\xE4ndert\n" + HEX, image).message, "line 1: not a record");
    std::string wide = "\xFF\xFE";
    for (char c : "; Ge\xE4ndert\n" + HEX)
        wide += std::string{c, '\0'};
    EXPECT_EQ(parse(wide, image).message, "line 1: not a record") << "Latin-1 in UTF-16 alike";
}

TEST(TextForms, PaddingAfterTheLastLineAndLoneCarriageReturnsRead)
{
    std::string cr = HEX;
    for (char &c : cr)
        c = c == '\n' ? '\r' : c;
    for (const std::string &text : {HEX + std::string(300, '\0'), HEX + "\x1A", HEX + std::string("\x1A\0\0", 3),
                                    cr, cr + std::string(7, '\0'), HEX.substr(0, HEX.size() - 1) + std::string(2, '\0')}) {
        firmware::Image image;
        const firmware::Outcome outcome = parse(text, image);
        EXPECT_TRUE(outcome.ok()) << outcome.message;
        EXPECT_EQ(image.bytes, HEX_IMAGE);
    }
    firmware::Image image;
    EXPECT_EQ(parse(std::string(40, '\0'), image).problem, firmware::Problem::None) << "NULs alone are code";
    EXPECT_EQ(image.format, firmware::Format::Binary);
}

// A file whose first line is a record is records: junk among them is named.
TEST(TextForms, BinaryJunkAmongRecordsIsNamed)
{
    firmware::Image image;
    const std::string junk = ":0300000002000AF1\n\x02\x01\x00\x90\n:00000001FF\n";
    EXPECT_EQ(parse(junk, image).message, "line 2: not a record (it holds bytes no text holds)");
    EXPECT_EQ(image.format, firmware::Format::IntelHex);
    EXPECT_EQ(parse(std::string(":0300000002000AF1\n\0\0:00000001FF\n", 32), image).message.substr(0, 8), "line 2: ");
    parse(std::string(":03000\0", 7) + "\x02", image);
    EXPECT_EQ(image.format, firmware::Format::Binary) << "not a well-formed record: code";
}

TEST(TextForms, EndOfFileRecordFirstIsNamed)
{
    firmware::Image image;
    EXPECT_EQ(parse(":00000001FF\n" + HEX, image).message, "line 2: after the end-of-file record on line 1");
}

TEST(TextForms, SRecordsWithoutStartHeaderOrCount)
{
    const std::string data = "S1070000020000AF47\n";
    for (const std::string &text : {data, "S00600004844521B\n" + data, data + "S5030001FB\n", data + "S9030000FC\n"}) {
        firmware::Image image;
        const firmware::Outcome outcome = parse(text, image);
        EXPECT_TRUE(outcome.ok()) << text << outcome.message;
        EXPECT_EQ(image.bytes, (std::vector<uint8_t>{0x02, 0x00, 0x00, 0xAF}));
    }
    firmware::Image image;
    EXPECT_EQ(parse(data + "S5030002FA\n", image).message,
              "line 2: the record count says 2 data records, but 1 come before it");
    EXPECT_EQ(parse(":0300000002000AF1\n:0100030055A7\n\n", image).message, "line 2: no end-of-file record")
        << "the last line, never one past it";
}

// SDCC 4.2's --out-fmt-s19: S1 with three address bytes, records without data.
TEST(TextForms, SdccTwentyFourBitS1IsRefusedAsSuch)
{
    const std::string sdcc = "S104000000FB\nS107000000020006F0\nS10700005F02000394\nS104000003F8\n";
    firmware::Image image;
    const firmware::Outcome outcome = parse(sdcc, image);
    EXPECT_EQ(outcome.message.substr(0, 54), "line 1: S1 records that carry 24-bit addresses, as SDC");
    EXPECT_NE(outcome.message.find(".ihx"), std::string::npos);
    EXPECT_TRUE(image.bytes.empty());
}

TEST(TextForms, AFormatInsistedOnNamesTheLine)
{
    firmware::Image image;
    EXPECT_TRUE(parse_as(HEX, firmware::Format::IntelHex, image).ok());
    EXPECT_EQ(image.bytes, HEX_IMAGE);
    EXPECT_EQ(parse_as(HEX, firmware::Format::SRecord, image).message,
              "line 1: not an S-record, and the file was to be S-records");
    EXPECT_EQ(parse_as("S9030000FC\n", firmware::Format::IntelHex, image).message,
              "line 1: not an Intel HEX record, and the file was to be Intel HEX");
    EXPECT_EQ(parse_as(":0300000002000AF1\nS9030000FC\n", firmware::Format::IntelHex, image).message.substr(0, 8),
              "line 2: ");
    EXPECT_EQ(parse_as(std::string("\x02\x00\x01", 3), firmware::Format::IntelHex, image).message.substr(0, 8),
              "line 1: ");
    EXPECT_EQ(parse_as(HEX, firmware::Format::BootRecords, image).message.substr(0, 31),
              "record 1 at offset 0x0000: not ");
    EXPECT_TRUE(parse_as(HEX, firmware::Format::Binary, image).ok());
    EXPECT_EQ(image.bytes.size(), HEX.size());
}

}  // namespace
