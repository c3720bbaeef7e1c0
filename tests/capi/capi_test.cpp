// The C API through libkestrane.so.1 itself, against boards behind
// pseudo-terminals: structures of other sizes than the library's, firmware
// files into images and their faults, an image flashed as its file asks
// (parts, lock, run, checks), and each thread's last failure.
#include <kestrane/kestrane.h>
#include "firmware/firmware_writer.h"
#include "firmware/boot_records.h"
#include "capi_helpers.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace capitest;

const uint16_t BB3_ID = 0x3401, BB1_ID = 0x3001;

struct Image {
    efm8_image *image = nullptr;
    char message[256] = "";  // before result, which fills it
    int32_t result;
    explicit Image(const Bytes &content, const char *name = "fw")
        : result(efm8_image_parse(content.data(), content.size(), name, &image, message, sizeof message))
    {
    }
    ~Image() { efm8_image_free(image); }
};

Bytes boot_records(const Bytes &image, const firmware::BootRecordOptions &options)
{
    Bytes content;
    EXPECT_TRUE(firmware::write_boot_records(image, options, content).ok());
    return content;
}

TEST(CApi, StructuresOfOtherSizesThanTheLibrarysAreReadAndWrittenOnlyAsFarAsTheyReach)
{
    auto board = board_of(BB3);
    Session open(*board);
    // A newer program's options, which this library does not know, are refused.
    std::vector<uint8_t> larger(sizeof(efm8_options) + 16, 0);
    auto *options = reinterpret_cast<efm8_options *>(larger.data());
    efm8_init_options(options, larger.size());
    EXPECT_EQ(options->size, larger.size());
    EXPECT_TRUE(options->verify && options->run && options->safe_order && !options->delta);
    const Bytes image = random_image(600, 1);
    efm8_report report{};
    EXPECT_EQ(efm8_flash(open.session, image.data(), image.size(), options, &report), EFM8_ERR_OPTIONS);
    EXPECT_EQ(report.result, EFM8_ERR_OPTIONS);
    EXPECT_EQ(report.commands, 0u);

    // Nor is one smaller than any version's: no options of this library's.
    efm8_options small{};
    small.size = offsetof(efm8_options, lock);
    EXPECT_EQ(efm8_flash(open.session, image.data(), image.size(), &small, &report), EFM8_ERR_OPTIONS);
    efm8_port_settings settings{};
    settings.size = 4;
    efm8_session *refused = nullptr;
    EXPECT_EQ(efm8_open_port(board->path().c_str(), &settings, &refused), EFM8_ERR_OPTIONS);
    EXPECT_EQ(refused, nullptr);

    // A report larger than the library's keeps its tail; one of size 0 is
    // filled as the first version's.
    std::vector<uint8_t> buffer(sizeof(efm8_report) + 16, 0xAB);
    auto *big = reinterpret_cast<efm8_report *>(buffer.data());
    big->size = buffer.size();
    efm8_options defaults = EFM8_OPTIONS_INIT;
    defaults.run = 0;  // verified again below
    EXPECT_EQ(efm8_flash(open.session, image.data(), image.size(), &defaults, big), EFM8_OK);
    EXPECT_EQ(big->size, buffer.size());
    EXPECT_EQ(big->result, EFM8_OK);
    EXPECT_GT(big->bytes_written, 0u);
    for (size_t i = sizeof(efm8_report); i < buffer.size(); ++i)
        ASSERT_EQ(buffer[i], 0xAB) << "byte " << i;
    EXPECT_EQ(efm8_verify(open.session, image.data(), image.size(), &report), EFM8_OK);
    EXPECT_EQ(report.size, 0u);
    EXPECT_GT(report.commands, 0u);
}

TEST(CApi, FirmwareFilesLoadIntoImagesOrSayWhatIsWrongWhere)
{
    const Bytes bytes = random_image(3000, 2);
    Bytes hex, srec;
    ASSERT_TRUE(firmware::encode(bytes, firmware::Format::IntelHex, {}, hex).ok());
    ASSERT_TRUE(firmware::encode(bytes, firmware::Format::SRecord, {}, srec).ok());
    const struct {
        Bytes content;
        efm8_format format;
    } files[] = {{bytes, EFM8_FORMAT_BINARY}, {hex, EFM8_FORMAT_INTEL_HEX}, {srec, EFM8_FORMAT_SRECORD},
                 {boot_records(bytes, {}), EFM8_FORMAT_BOOT_RECORDS}};
    for (const auto &file : files) {
        Image image(file.content);
        ASSERT_EQ(image.result, EFM8_OK) << image.message;
        EXPECT_EQ(efm8_image_format(image.image), file.format);
        uint32_t count;
        const uint8_t *loaded = efm8_image_bytes(image.image, &count);
        EXPECT_EQ(Bytes(loaded, loaded + count), bytes);
        size_t none;
        efm8_image_ids(image.image, &none);
        EXPECT_EQ(none, 0u);
        EXPECT_EQ(efm8_image_runs(image.image), 1);
    }

    Bytes broken = hex;
    broken[broken.size() / 2] ^= 0x01;  // a hex digit of some middle line
    Image bad(broken, "broken.hex");
    EXPECT_EQ(bad.result, EFM8_ERR_BAD_IMAGE);
    EXPECT_EQ(bad.image, nullptr);
    EXPECT_EQ(std::string(bad.message).rfind("broken.hex: line ", 0), 0u) << bad.message;
    Bytes truncated = boot_records(bytes, {});
    truncated.resize(truncated.size() - 1);
    Image cut(truncated, "cut.efm8");
    EXPECT_EQ(cut.result, EFM8_ERR_BAD_IMAGE);
    EXPECT_NE(std::string(cut.message).find("offset"), std::string::npos) << cut.message;

    efm8_image *none = nullptr;
    char message[200];
    EXPECT_EQ(efm8_image_load("/nonexistent/fw.hex", &none, message, sizeof message), EFM8_ERR_UNREADABLE);
    EXPECT_EQ(none, nullptr);
    EXPECT_NE(std::string(message).find("/nonexistent/fw.hex"), std::string::npos) << message;
    // A message cut to its buffer still ends.
    char small[8];
    EXPECT_EQ(efm8_image_load("/nonexistent/fw.hex", &none, small, sizeof small), EFM8_ERR_UNREADABLE);
    EXPECT_EQ(std::strlen(small), sizeof small - 1);
}

TEST(CApi, AnImageIsFlashedAsItsFileAsks)
{
    const Bytes bytes = random_image(2000, 3);
    firmware::BootRecordOptions asks;
    asks.ids = {BB1_ID};
    {  // meant for another part: nothing erased
        auto board = board_of(BB3);
        const Bytes before = board->model().flash();
        Session open(*board);
        Image image(boot_records(bytes, asks));
        efm8_report report{};
        EXPECT_EQ(efm8_flash_image(open.session, image.image, nullptr, &report), EFM8_ERR_WRONG_PART);
        EXPECT_EQ(efm8_verify_image(open.session, image.image, &report), EFM8_ERR_WRONG_PART);
        EXPECT_EQ(board->model().flash(), before);
    }
    // For this part, locking 2 pages and staying in the bootloader; the
    // options lock 3 pages more: the chip's flash combines them bit by bit.
    asks.ids = {BB1_ID, BB3_ID};
    asks.lock_pages = 2;
    asks.verify = true;
    asks.run = false;
    auto board = board_of(BB3);
    Session open(*board);
    Image image(boot_records(bytes, asks));
    ASSERT_EQ(image.result, EFM8_OK) << image.message;
    size_t count;
    const uint16_t *ids = efm8_image_ids(image.image, &count);
    EXPECT_EQ(std::vector<uint16_t>(ids, ids + count), asks.ids);
    efm8_image_checks(image.image, &count);
    EXPECT_EQ(count, 1u);
    uint8_t signature, lock;
    EXPECT_EQ(efm8_image_lock(image.image, &signature, &lock), 1);
    EXPECT_EQ(lock, efm8_lock_byte_for(2));
    EXPECT_EQ(efm8_image_runs(image.image), 0);

    efm8_options options;
    efm8_default_options(&options);
    options.lock = 1;
    options.lock_signature = 0xFF;
    options.lock_byte = efm8_lock_byte_for(5);
    efm8_report report{};
    ASSERT_EQ(efm8_flash_image(open.session, image.image, &options, &report), EFM8_OK);
    std::lock_guard<std::mutex> held(board->lock());
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), board->model().flash().begin()));
    EXPECT_EQ(board->model().lock_byte(), uint8_t(efm8_lock_byte_for(2) & efm8_lock_byte_for(5)));
    EXPECT_EQ(report.lock_value, efm8_lock_byte_for(2) & efm8_lock_byte_for(5));
    EXPECT_TRUE(board->model().on_bus()) << "the file does not start the application";
}

TEST(CApi, AFilesLockThatWouldDisableTheBootloaderIsRefusedUnlessTheOptionsAllowIt)
{
    const Bytes bytes = random_image(700, 4);
    firmware::BootRecordOptions asks;
    asks.lock_pages = 1;
    asks.verify = true;
    Bytes file = boot_records(bytes, asks);
    const Bytes lock_record = {'$', 3, EFM8_CMD_LOCK, 0xFF, efm8_lock_byte_for(1)};
    auto at = std::search(file.begin(), file.end(), lock_record.begin(), lock_record.end());
    ASSERT_NE(at, file.end());
    at[3] = 0x00;  // the signature: the bootloader gone for good
    Image image(file);
    ASSERT_EQ(image.result, EFM8_OK) << image.message;

    auto board = board_of(BB3);
    const Bytes before = board->model().flash();
    Session open(*board);
    efm8_report report{};
    EXPECT_EQ(efm8_flash_image(open.session, image.image, nullptr, &report), EFM8_ERR_OPTIONS);
    EXPECT_EQ(report.result, EFM8_ERR_OPTIONS);
    EXPECT_EQ(board->model().flash(), before);
    // The options' own lock naming that signature is not consent: only
    // allow_disable_bootloader is.
    efm8_options options;
    efm8_default_options(&options);
    options.lock = 1;
    options.lock_signature = 0x00;
    options.lock_byte = 0xFF;
    options.run = 0;
    EXPECT_EQ(efm8_flash_image(open.session, image.image, &options, &report), EFM8_ERR_OPTIONS);
    EXPECT_EQ(report.commands, 0u);
    EXPECT_EQ(board->model().flash(), before);
    options.allow_disable_bootloader = 1;
    EXPECT_EQ(efm8_flash_image(open.session, image.image, &options, &report), EFM8_OK);
    std::lock_guard<std::mutex> held(board->lock());
    EXPECT_EQ(board->model().signature_byte(), 0x00);
}

TEST(CApi, EachThreadKeepsItsOwnLastFailure)
{
    efm8_session *session = nullptr;
    ASSERT_EQ(efm8_open_port("/nonexistent/ttyA", nullptr, &session), EFM8_ERR_NO_DEVICE);
    efm8_report report{};
    ASSERT_EQ(efm8_last_failure(&report), EFM8_OK);
    EXPECT_EQ(report.result, EFM8_ERR_NO_DEVICE);
    EXPECT_EQ(report.interface, EFM8_UART);
    char words[256];
    efm8_describe(&report, words, sizeof words);
    EXPECT_EQ(std::string(words).rfind("no such port", 0), 0u) << words;

    auto board = board_of(BB3);
    int32_t other = 0;
    std::thread([&] {
        efm8_report seen{};
        other = efm8_last_failure(&seen);  // nothing failed on this thread yet
        Session open(*board);
        const Bytes too_large(part_named(BB3).app_limit + 1, 0x00);
        efm8_flash(open.session, too_large.data(), too_large.size(), nullptr, nullptr);
    }).join();
    EXPECT_EQ(other, EFM8_ERR_NO_DEVICE);
    ASSERT_EQ(efm8_last_failure(&report), EFM8_OK);
    EXPECT_EQ(report.result, EFM8_ERR_NO_DEVICE) << "another thread's failure";

    Session open(*board);
    const Bytes too_large(part_named(BB3).app_limit + 1, 0x00);
    EXPECT_EQ(efm8_flash(open.session, too_large.data(), too_large.size(), nullptr, nullptr), EFM8_ERR_SIZE);
    ASSERT_EQ(efm8_last_failure(&report), EFM8_OK);
    EXPECT_EQ(report.result, EFM8_ERR_SIZE);
    char text[200];
    EXPECT_GT(efm8_describe(&report, text, sizeof text), 0);
    EXPECT_NE(std::string(text).find("application area"), std::string::npos) << text;
}

}  // namespace

namespace {

// A file of random bytes ending with a lock record of these bytes, or none.
Bytes file_with_lock(const Bytes &bytes, std::optional<std::pair<uint8_t, uint8_t>> lock, bool runs)
{
    firmware::BootRecordOptions asks;
    asks.run = runs;
    if (lock)
        asks.lock_pages = 1;
    Bytes file = boot_records(bytes, asks);
    if (lock) {
        const Bytes record = {'$', 3, EFM8_CMD_LOCK, 0xFF, efm8_lock_byte_for(1)};
        auto at = std::search(file.begin(), file.end(), record.begin(), record.end());
        EXPECT_NE(at, file.end());
        at[3] = lock->first;
        at[4] = lock->second;
    }
    return file;
}

}  // namespace

// What a flash of a file settles into, without a board, for random locks
// from the file and the options, verify, consent and run: the locks combine
// bit by bit; a lock without verify, or one that disables the bootloader
// without allow_disable_bootloader, is refused; a file that does not start
// the application is not started.
TEST(CApi, AFlashOfAFileSettlesAsItsRulesSayForAnyLocksAsked)
{
    std::mt19937 rng(11);
    const Bytes bytes = random_image(700, 12);
    const uint8_t signatures[] = {0xA5, 0xFF, 0x00, 0xA4, 0xE7};
    for (int round = 0; round < 200; ++round) {
        auto pick = [&rng](int n) { return int(rng() % unsigned(n)); };
        std::optional<std::pair<uint8_t, uint8_t>> file_lock;
        if (pick(2))
            file_lock = std::make_pair(signatures[pick(5)], uint8_t(rng()));
        const bool runs = pick(2);
        Image image(file_with_lock(bytes, file_lock, runs));
        ASSERT_EQ(image.result, EFM8_OK) << image.message;
        efm8_options asked = EFM8_OPTIONS_INIT;
        asked.verify = pick(2);
        asked.run = pick(2);
        asked.allow_disable_bootloader = pick(2);
        asked.lock = pick(2);
        asked.lock_signature = signatures[pick(5)];
        asked.lock_byte = uint8_t(rng());
        efm8_options settled = EFM8_OPTIONS_INIT;
        char why[256] = "";
        const int32_t result = efm8_image_flash_options(image.image, &asked, &settled, why, sizeof why);

        const bool lock = asked.lock || file_lock;
        uint8_t signature = 0xFF, lock_byte = 0xFF;
        if (asked.lock)
            signature &= asked.lock_signature, lock_byte &= asked.lock_byte;
        if (file_lock)
            signature &= file_lock->first, lock_byte &= file_lock->second;
        const bool disables = (signature & 0xA5) != 0xA5;
        const bool refused = lock && (!asked.verify || (disables && !asked.allow_disable_bootloader));
        SCOPED_TRACE("round " + std::to_string(round) + ": " + why);
        EXPECT_EQ(result, refused ? EFM8_ERR_OPTIONS : EFM8_OK);
        EXPECT_EQ(std::string(why).empty(), !refused);
        EXPECT_EQ(bool(settled.lock), lock);
        if (lock) {
            EXPECT_EQ(std::make_pair(settled.lock_signature, settled.lock_byte), std::make_pair(signature, lock_byte));
        }
        EXPECT_EQ(bool(settled.run), asked.run && runs);
        EXPECT_EQ(settled.size, sizeof settled);
    }
}

// A line given twice, however its chip is named, is one line: refused
// before anything is opened rather than found busy once opened.
TEST(CApi, OneGpioLineIsOneLineHoweverItsChipIsNamed)
{
    const auto line = [](const char *text) {
        efm8_line parsed{};
        EXPECT_EQ(efm8_parse_line(text, &parsed, nullptr, 0), EFM8_OK) << text;
        return parsed;
    };
    const auto same = [&](const char *a, const char *b) {
        const efm8_line first = line(a), second = line(b);
        return efm8_same_line(&first, &second);
    };
    EXPECT_EQ(same("gpio:gpiochip0:17", "gpio:/dev/gpiochip0:17"), 1);
    EXPECT_EQ(same("gpio:/dev/./gpiochip0:17", "gpio:gpiochip0:17:active-high"), 1);
    EXPECT_EQ(same("gpio:gpiochip0:17", "gpio:gpiochip0:18"), 0);
    EXPECT_EQ(same("gpio:gpiochip0:17", "gpio:gpiochip1:17"), 0);
    EXPECT_EQ(same("rts", "rts:active-high"), 1);
    EXPECT_EQ(same("rts", "dtr"), 0);
    // A link to a chip's device is that chip.
    char folder[] = "/tmp/kestrane-chipsXXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string chip = std::string(folder) + "/chip", link = std::string(folder) + "/link";
    std::ofstream(chip).put('\n');
    ASSERT_EQ(symlink(chip.c_str(), link.c_str()), 0);
    EXPECT_EQ(same(("gpio:" + chip + ":3").c_str(), ("gpio:" + link + ":3").c_str()), 1);
    EXPECT_EQ(same(("gpio:" + chip + ":3").c_str(), ("gpio:" + link + ":4").c_str()), 0);
    unlink(link.c_str());
    unlink(chip.c_str());
    rmdir(folder);
    const efm8_line none{};
    const efm8_line rts = line("rts");
    EXPECT_EQ(efm8_same_line(&none, &none), 0);
    EXPECT_EQ(efm8_same_line(nullptr, &rts), 0);
    EXPECT_EQ(efm8_same_line(&rts, nullptr), 0);
}
