// Boot-record files and the writers: what the writer lays out, replayed into
// the simulated bootloader, leaves the image in the chip in the safe order
// and reads back the same; HEX and S-records read back alike here and in
// srec_cat; hand-made files load as the loader's rules say, and broken ones
// name the record and its offset.
#include "firmware/firmware.h"
#include "firmware/firmware_writer.h"

#include "bootloader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const uint32_t UB1_AREA = 14848;
const uint32_t CHIP = 0xF000;  // the simulated part's flash, the lock bytes above it
const uint16_t SB2 = 0x1601, UB1 = 0x3245;

firmware::Outcome parse(const Bytes &file, firmware::Image &image, uint32_t limit = firmware::ADDRESS_SPACE)
{
    return firmware::parse(file.data(), file.size(), limit, image);
}

Bytes random_image(std::mt19937 &rng, uint32_t most)
{
    Bytes image(1 + rng() % most, 0xFF);
    for (int stretches = rng() % 6; stretches > 0; --stretches) {
        const size_t at = rng() % image.size(), len = std::min<size_t>(1 + rng() % 2000, image.size() - at);
        for (size_t i = at; i < at + len; ++i)
            image[i] = uint8_t(rng());
    }
    return image;
}

std::vector<Bytes> records_of(const Bytes &file)
{
    std::vector<Bytes> records;
    for (size_t at = 0; at + 1 < file.size(); at += 2 + file[at + 1])
        records.emplace_back(file.begin() + at, file.begin() + std::min(file.size(), at + 2 + file[at + 1]));
    return records;
}

TEST(BootRecords, WrittenFilesFlashTheImageSafelyAndReadBackTheSame)
{
    std::mt19937 rng(0xEF8);
    for (int round = 0; round < 150; ++round) {
        const Bytes image = random_image(rng, CHIP);
        firmware::BootRecordOptions options;
        for (int n = rng() % 3; n > 0; --n)
            options.ids.push_back(rng() % 4 ? SB2 + uint16_t(rng() % 4) : UB1);
        if (rng() % 2)
            options.lock_pages = uint8_t(rng());
        options.verify = rng() % 2;
        options.run = rng() % 2;
        options.write_size = 1 + rng() % 128;
        options.erase_without_data = rng() % 4 == 0;
        SCOPED_TRACE("round " + std::to_string(round) + ", " + std::to_string(image.size()) + " bytes");

        Bytes file;
        ASSERT_TRUE(firmware::encode(image, firmware::Format::BootRecords, options, file).ok());
        efm8sim::Bootloader chip;
        const uint32_t page = firmware::page_size_for(options.ids);
        chip.set_layout({CHIP, CHIP, page, 0xFBFF});
        for (uint8_t &byte : chip.flash())
            byte = uint8_t(rng());  // an earlier application, to be erased
        if (!options.ids.empty())
            chip.set_identity(options.ids[rng() % options.ids.size()]);
        // Page 0 is erased first and byte 0 written by the last erase or write.
        bool erased_0 = false, wrote_0 = false;
        for (const Bytes &r : records_of(file)) {
            chip.receive(r.data(), r.size());
            const uint8_t reply = chip.take_reply();
            EXPECT_TRUE(reply == 0x40 || (r[2] == 0x30 && reply == 0x42));
            const uint32_t address = r[3] << 8 | r[4];
            if (r[2] == 0x32 || r[2] == 0x33) {
                ASSERT_LE(r[1], 3 + options.write_size);
                EXPECT_TRUE(erased_0 || r == Bytes({'$', 3, 0x32, 0, 0})) << "page 0 first";
                EXPECT_FALSE(wrote_0) << "data after byte 0";
                EXPECT_TRUE(r[2] == 0x33 || !options.erase_without_data || r[1] == 3);
                const bool blank = r.size() > 5 && std::all_of(r.begin() + 5, r.end(), [](uint8_t b) { return b == 0xFF; });
                EXPECT_TRUE(!blank || address + r.size() - 5 == image.size()) << "a blank chunk inside the image";
                erased_0 = true;
                wrote_0 = r[2] == 0x33 && address == 0;
            }
            if (erased_0 && !wrote_0) {
                ASSERT_EQ(chip.flash()[0], 0xFF);
            }
        }
        Bytes expected(image);
        expected.resize((image.size() + page - 1) / page * page, 0xFF);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), chip.flash().begin()));
        EXPECT_EQ(chip.lock_byte(), options.lock_pages ? uint8_t(~*options.lock_pages) : 0xFF);
        EXPECT_EQ(chip.signature_byte(), efm8sim::SIGNATURE_ENABLED);
        EXPECT_EQ(chip.on_bus(), !options.run || image[0] == 0xFF) << "a chip whose byte 0 is 0xFF stays";

        firmware::Image read;
        ASSERT_TRUE(parse(file, read).ok());
        EXPECT_EQ(read.format, firmware::Format::BootRecords);
        ASSERT_EQ(read.bytes, image);
        EXPECT_EQ(read.ids, options.ids);
        ASSERT_EQ(read.lock.has_value(), options.lock_pages.has_value());
        if (read.lock) {
            EXPECT_EQ(read.lock->lock, uint8_t(~*options.lock_pages));
        }
        EXPECT_EQ(read.runs, options.run);
        EXPECT_EQ(read.checks.size(), options.verify ? 1u : 0u);
    }
}

// A verify record is the file's own checksum: a byte flipped in any erase or
// write record's data, anywhere, is caught on the host, the verify record
// named.
TEST(BootRecords, CorruptDataIsCaughtByTheFilesVerifyRecord)
{
    std::mt19937 rng(0xC0DE);
    for (int round = 0; round < 300; ++round) {
        firmware::BootRecordOptions options;
        options.verify = true;
        options.write_size = 1 + rng() % 128;
        Bytes file;
        ASSERT_TRUE(firmware::encode(random_image(rng, CHIP), firmware::Format::BootRecords, options, file).ok());
        std::vector<size_t> data_at;  // the offsets of every data byte
        size_t offset = 0, verify_index = 0, verify_offset = 0;
        const std::vector<Bytes> records = records_of(file);
        for (size_t i = 0; i < records.size(); offset += records[i++].size()) {
            const Bytes &r = records[i];
            for (size_t k = 5; (r[2] == 0x32 || r[2] == 0x33) && k < r.size(); ++k)
                data_at.push_back(offset + k);
            if (r[2] == 0x34)
                verify_index = i + 1, verify_offset = offset;
        }
        ASSERT_FALSE(data_at.empty());
        file[data_at[rng() % data_at.size()]] ^= uint8_t(1 + rng() % 255);
        firmware::Image image;
        const firmware::Outcome outcome = parse(file, image);
        char named[64];
        std::snprintf(named, sizeof named, "record %zu at offset 0x%04zX: the file's data from 0x0000 to ",
                      verify_index, verify_offset);
        EXPECT_EQ(outcome.problem, firmware::Problem::Malformed);
        EXPECT_EQ(outcome.message.substr(0, std::strlen(named)), named) << outcome.message;
        EXPECT_NE(outcome.message.find("this verify record expects: the file is corrupt"), std::string::npos);
        EXPECT_TRUE(image.bytes.empty() && image.checks.empty());
    }
}

// srec_cat's reading of a file, 0xFF in the gaps as ours.
Bytes srec_cat(const Bytes &file, const char *format, size_t size)
{
    char folder[] = "/tmp/kestrane-srec-XXXXXX";
    EXPECT_NE(mkdtemp(folder), nullptr);
    const std::string in = std::string(folder) + "/in", out = std::string(folder) + "/out";
    std::ofstream(in, std::ios::binary).write(reinterpret_cast<const char *>(file.data()), file.size());
    const std::string command = std::string(SREC_CAT) + " " + in + " " + format + " -fill 0xFF 0 " +
                                std::to_string(size) + " -o " + out + " -binary";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    std::ifstream read(out, std::ios::binary);
    const Bytes bytes((std::istreambuf_iterator<char>(read)), std::istreambuf_iterator<char>());
    std::filesystem::remove_all(folder);
    return bytes;
}

TEST(Writers, HexSRecordsAndBinariesReadBackAlikeHereAndInSrecCat)
{
    std::mt19937 rng(0x5EC);
    const struct {
        firmware::Format format;
        const char *srec_cat_format;
    } formats[] = {{firmware::Format::IntelHex, "-intel"}, {firmware::Format::SRecord, "-motorola"},
                   {firmware::Format::Binary, nullptr}};
    for (int round = 0; round < 40; ++round) {
        Bytes image = random_image(rng, firmware::ADDRESS_SPACE);
        image[0] = 0x02;  // as a binary it must not start like another format
        for (const auto &f : formats) {
            SCOPED_TRACE("round " + std::to_string(round) + ", format " + std::to_string(int(f.format)));
            Bytes file;
            ASSERT_TRUE(firmware::encode(image, f.format, {}, file).ok());
            firmware::Image read;
            const firmware::Outcome outcome = parse(file, read);
            ASSERT_TRUE(outcome.ok()) << outcome.message;
            EXPECT_EQ(read.format, f.format);
            ASSERT_EQ(read.bytes, image);
            if (f.srec_cat_format && round < 10) {
                ASSERT_EQ(srec_cat(file, f.srec_cat_format, image.size()), image);
            }
        }
    }
}

TEST(Writers, FormatsByNameAndExtensionAndWhatTheyRefuse)
{
    EXPECT_EQ(firmware::format_named("efm8"), firmware::Format::BootRecords);
    EXPECT_EQ(firmware::format_named("srec"), firmware::Format::SRecord);
    EXPECT_EQ(firmware::format_named("ihx"), std::nullopt);
    EXPECT_EQ(firmware::format_for_file_name("out/app.EFM8"), firmware::Format::BootRecords);
    EXPECT_EQ(firmware::format_for_file_name("app.s37"), firmware::Format::SRecord);
    EXPECT_EQ(firmware::format_for_file_name("app.ihx"), firmware::Format::IntelHex);
    EXPECT_EQ(firmware::format_for_file_name("v1.2/app"), std::nullopt);
    EXPECT_EQ(firmware::format_for_file_name("app.txt"), std::nullopt);

    Bytes file;
    firmware::BootRecordOptions options;
    options.write_size = 129;
    EXPECT_EQ(firmware::encode({1}, firmware::Format::BootRecords, options, file).problem,
              firmware::Problem::Unsupported);
    EXPECT_EQ(firmware::encode({}, firmware::Format::IntelHex, {}, file).problem, firmware::Problem::Empty);
    EXPECT_EQ(firmware::encode({'$', 1}, firmware::Format::Binary, {}, file).problem, firmware::Problem::Unsupported);

    EXPECT_EQ(firmware::write_file("/nonexistent/app.hex", {1}).message, "/nonexistent/app.hex: No such file or directory");
    char path[] = "/tmp/kestrane-out-XXXXXX";
    close(mkstemp(path));
    ASSERT_TRUE(firmware::write_file(path, {1, 2, 3}).ok());
    Bytes back;
    ASSERT_TRUE(firmware::read_file(path, back).ok());
    EXPECT_EQ(back, Bytes({1, 2, 3}));
    std::remove(path);
}

// Hand-made files, record by record, through the bootloader's encoders.
struct File {
    Bytes bytes;
    uint8_t r[EFM8_RECORD_MAX];

    File &put(size_t n) { return bytes.insert(bytes.end(), r, r + n), *this; }
    File &id(uint16_t id) { return put(record_identify(r, id)); }
    File &setup(uint8_t bank = 0) { return put(record_setup(r, bank)); }
    File &erase(uint32_t a, const Bytes &d = {}) { return put(record_data(r, 0x32, a, d.data(), d.size())); }
    File &write(uint32_t a, const Bytes &d) { return put(record_data(r, 0x33, a, d.data(), d.size())); }
    File &verify(uint16_t s, uint16_t e, uint16_t crc) { return put(record_verify(r, s, e, crc)); }
    File &lock(uint8_t s, uint8_t l) { return put(record_lock(r, s, l)); }
    File &run() { return put(record_runapp(r)); }
    File &raw(const Bytes &b) { return bytes.insert(bytes.end(), b.begin(), b.end()), *this; }
};

TEST(BootRecords, HandMadeFilesLoadAsTheRulesSay)
{
    firmware::Image image;
    // Several identify records, erase-only records, a write without data.
    ASSERT_TRUE(parse(File().id(UB1).id(0x3241).setup().erase(0).erase(0x200).write(0x200, {7, 8}).write(0, {2})
                          .write(0x300, {}).erase(0x600).run().bytes, image).ok());
    EXPECT_EQ(image.ids, std::vector<uint16_t>({UB1, 0x3241}));
    EXPECT_EQ(image.bytes.size(), 0x202u) << "neither an erase alone nor an empty write adds to the image";
    EXPECT_EQ(image.bytes[0x201], 8);
    EXPECT_TRUE(image.runs);
    EXPECT_FALSE(image.lock);

    // Writes without erases or setup, the same bytes twice, two locks, verify
    // records, no run application.
    Bytes expected(0x12, 0xFF);
    expected[0x10] = 1;
    expected[0x11] = 2;
    Bytes checked(expected);
    checked.resize(0x20, 0xFF);  // past the image: erased
    const uint16_t crc = crc16(checked.data(), checked.size()), erased = crc16(&checked[0x12], 2);
    ASSERT_TRUE(parse(File().write(0x10, {1, 2}).write(0x11, {2}).verify(0, 0x1F, crc).lock(0xFF, 0xFC)
                          .verify(0xFBFE, 0xFBFF, erased).lock(0xA5, 0xFE).bytes, image).ok());
    EXPECT_EQ(image.bytes, expected);
    ASSERT_EQ(image.checks.size(), 2u);
    EXPECT_EQ(image.checks[0].crc, crc);
    EXPECT_EQ(image.checks[1].start, 0xFBFE);
    ASSERT_TRUE(image.lock);
    EXPECT_EQ(image.lock->signature, 0xA5);
    EXPECT_EQ(image.lock->lock, 0xFC);
    EXPECT_FALSE(image.runs);

    // An EFM8SB2's page is 1024 bytes: data may pass 0x200, an erase wipes
    // more, and a part of any other family in the list means 512.
    const Bytes past_512(32, 0x55);
    EXPECT_TRUE(parse(File().id(SB2).id(0x1602).erase(0x1F0, past_512).bytes, image).ok());
    EXPECT_EQ(parse(File().id(SB2).id(UB1).erase(0x1F0, past_512).bytes, image).message,
              "record 3 at offset 0x000A: the erase's data crosses from the page at 0x0000 into the next");
    EXPECT_TRUE(parse(File().write(0x10, {1}).erase(0x200, {2}).bytes, image).ok());
    EXPECT_EQ(parse(File().id(SB2).write(0x10, {1}).erase(0x200, {2}).bytes, image).message,
              "record 3 at offset 0x000B: the erase of the page at 0x0000 would wipe 0x0010, which record 2 wrote");
}

struct Broken {
    const char *name;
    Bytes file;
    firmware::Problem problem;
    const char *message;
};

class BrokenBootRecords : public ::testing::TestWithParam<Broken> {};

TEST_P(BrokenBootRecords, NameTheRecordAndItsOffsetAndLoadNothing)
{
    firmware::Image image;
    const firmware::Outcome outcome = parse(GetParam().file, image, UB1_AREA);
    EXPECT_EQ(outcome.problem, GetParam().problem);
    EXPECT_EQ(outcome.message, GetParam().message);
    EXPECT_EQ(image.format, firmware::Format::BootRecords) << "never flashed as a binary";
    EXPECT_TRUE(image.bytes.empty() && image.ids.empty() && !image.lock);
}

const firmware::Problem MALFORMED = firmware::Problem::Malformed;
const Bytes WRITE_3 = File().setup().write(0, {1, 2, 3}).bytes;  // 14 bytes
const Bytes TRUNCATED(WRITE_3.begin(), WRITE_3.end() - 1);

INSTANTIATE_TEST_SUITE_P(
    Files, BrokenBootRecords,
    ::testing::Values(
        Broken{"Truncated", TRUNCATED, MALFORMED,
               "record 2 at offset 0x0006: its length of 6 runs past the end of the file (5 bytes follow it)"},
        Broken{"NoLength", File().setup().raw({'$'}).bytes, MALFORMED,
               "record 2 at offset 0x0006: the file ends before its length"},
        Broken{"Trailer", File().raw(WRITE_3).raw({0}).bytes, MALFORMED,
               "record 3 at offset 0x000E: it starts with 0x00, not '$'"},
        Broken{"NoCommand", {'$', 0}, MALFORMED, "record 1 at offset 0x0000: its length is 0, leaving no room for a command"},
        Broken{"UnknownCommand", File().setup().raw({'$', 3, 0x3F, 0, 0}).bytes, MALFORMED,
               "record 2 at offset 0x0006: unknown command 0x3F"},
        Broken{"LongIdentify", {'$', 4, 0x30, 0x32, 0x45, 0}, MALFORMED,
               "record 1 at offset 0x0000: identify takes 2 bytes after the command, this record has 3"},
        Broken{"AfterRun", File().write(0, {1}).run().write(1, {2}).bytes, MALFORMED,
               "record 3 at offset 0x000B: it follows run application, when the chip has left its bootloader"},
        Broken{"Crossing", File().erase(0x3FF, {1, 2}).bytes, MALFORMED,
               "record 1 at offset 0x0000: the erase's data crosses from the page at 0x0200 into the next"},
        Broken{"Wiping", File().write(0x210, {1}).erase(0x200).bytes, MALFORMED,
               "record 2 at offset 0x0006: the erase of the page at 0x0200 would wipe 0x0210, which record 1 wrote"},
        Broken{"Differs", File().write(0, {1, 2}).write(1, {3}).bytes, MALFORMED,
               "record 2 at offset 0x0007: data at 0x0001 differs from what record 1 wrote"},
        Broken{"Beyond", File().id(UB1).write(0x39FF, {1, 2}).bytes, firmware::Problem::TooLarge,
               "record 2 at offset 0x0005: data at 0x3A00 lies beyond the 14848-byte application area"},
        Broken{"Scratchpad", File().setup(1).write(0, {1}).bytes, firmware::Problem::Unsupported,
               "record 1 at offset 0x0000: setup selects flash bank 1, and Kestrane flashes bank 0 only"},
        Broken{"NoKeys", {'$', 4, 0x31, 0xA5, 0xF0, 0}, MALFORMED,
               "record 1 at offset 0x0000: setup without the flash keys 0xA5 0xF1"},
        Broken{"BackwardVerify", File().write(0, {1}).verify(0x100, 0xFF, 0).bytes, MALFORMED,
               "record 2 at offset 0x0006: the verify's range ends at 0x00FF, before its start 0x0100"},
        Broken{"NoData", File().id(UB1).setup().erase(0).lock(0xFF, 0xFE).run().bytes, MALFORMED,
               "the file writes no data"},
        Broken{"WrongCrc", File().write(0, {1, 2}).verify(0, 1, 0x1234).run().bytes, MALFORMED,
               "record 2 at offset 0x0007: the file's data from 0x0000 to 0x0001 has CRC 0x1373, not the 0x1234 "
               "this verify record expects: the file is corrupt"},
        Broken{"WrongCrcPastTheData", File().write(0, {1}).verify(0, 0x1FF, 0).bytes, MALFORMED,
               "record 2 at offset 0x0006: the file's data from 0x0000 to 0x01FF (the bytes from 0x0001 on, which "
               "it does not write, taken as erased) has CRC 0xFCDF, not the 0x0000 this verify record expects: the "
               "file is corrupt"}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
