// The engine against the simulated device: choosing boards, delta's
// half-page checks, parts the table lacks or sizes by itself, verify alone,
// identify, locks and what a report says. (What any flash leaves is in
// flash_property_test.cpp, a fault at every command in fault_test.cpp.)
#include "engine_helpers.h"

#include <string>

namespace enginetest {
namespace {

// Choosing a board.

TEST_F(Engine, ListsEveryFamilySortedByPathAndOpensByPath)
{
    hidsim::attach(0x10C4, 0xEACB);
    hidsim::attach(0x10C4, 0x1234);  // not a bootloader
    hidsim::attach(0x10C4, 0xEAC9);
    hidsim::attach(0x10C4, 0xEACA);
    efm8_device devices[2];
    ASSERT_EQ(efm8_list(devices, 2), 3) << "the count is of all attached, beyond max";
    EXPECT_STREQ(devices[0].path, "sim:1");
    EXPECT_STREQ(devices[0].family, "EFM8UB3");
    EXPECT_STREQ(devices[1].path, "sim:3");
    EXPECT_STREQ(devices[1].family, "EFM8UB1");
    EXPECT_EQ(devices[1].product_id, 0xEAC9);

    efm8_session *session = nullptr;
    EXPECT_EQ(efm8_open(nullptr, &session), EFM8_ERR_SEVERAL);
    EXPECT_EQ(session, nullptr);
    EXPECT_EQ(efm8_open("sim:2", &session), EFM8_ERR_NO_DEVICE) << "only bootloaders are opened";
    ASSERT_EQ(efm8_open("sim:4", &session), EFM8_OK);
    EXPECT_STREQ(efm8_session_device(session)->family, "EFM8UB2");
    efm8_close(session);
}

TEST_F(Engine, OpenNamesWhyItFails)
{
    efm8_session *session = nullptr;
    EXPECT_EQ(efm8_open(nullptr, &session), EFM8_ERR_NO_DEVICE);
    hidsim::Device &device = hidsim::attach();
    device.deny_open = true;
    EXPECT_EQ(efm8_open(nullptr, &session), EFM8_ERR_OPEN);
    EXPECT_EQ(session, nullptr);
}

// A page that differs from the image but has the same whole-page CRC.
TEST_F(Engine, DeltaChecksHalfPagesSoAWholePageCollisionIsRewritten)
{
    Bytes image(2048);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = uint8_t(i * 29 + 1);
    Bytes old = full_sequence_result(Bytes(efm8sim::FLASH_SIZE, 0xFF), image);
    // A difference whose CRC over the page is 0: one bit in the first half,
    // then its CRC in the page's last two bytes.
    const size_t page = 2 * 512;
    Bytes difference(512, 0);
    difference[10] = 0x01;
    const uint16_t crc = efm8sim::crc16_xmodem(difference.data(), 510);
    difference[510] = uint8_t(crc >> 8);
    difference[511] = uint8_t(crc);
    for (size_t i = 0; i < 512; ++i)
        old[page + i] ^= difference[i];
    ASSERT_EQ(efm8sim::crc16_xmodem(&old[page], 512), efm8sim::crc16_xmodem(&image[page], 512));

    hidsim::Device &board = hidsim::attach();
    board.model.flash() = old;
    efm8_options options = defaults();
    options.delta = 1;
    efm8_report report;
    ASSERT_EQ(flash(image, &options, &report), EFM8_OK);
    EXPECT_EQ(board.model.flash(), full_sequence_result(old, image));
    EXPECT_EQ(report.pages_skipped, 2u) << "pages 1 and 3; page 0 is rewritten with any other";
}

// Other parts, refusals and what a report says.

TEST_F(Engine, UnknownDerivativesAreSizedByTheBootloaderBeforeAnythingIsErased)
{
    for (uint16_t product : {0xEACA, 0xEACB}) {
        hidsim::reset();
        hidsim::Device &board = hidsim::attach(0x10C4, product);
        board.model.set_flash_layout(0x10000, 0x8000);
        Bytes image(0x7000);
        for (size_t i = 0; i < image.size(); ++i)
            image[i] = uint8_t(i ^ i >> 8);
        ASSERT_EQ(flash(image, nullptr), EFM8_OK) << "beyond the EFM8UB1's area";
        EXPECT_TRUE(std::equal(image.begin(), image.end(), board.model.flash().begin()));

        hidsim::reset();
        hidsim::Device &small = hidsim::attach(0x10C4, product);
        small.model.set_flash_layout(0x10000, 0x8000);
        small.model.flash()[0] = 0x12;
        image.resize(0x8100, 0x00);
        efm8_report report;
        ASSERT_EQ(flash(image, nullptr, &report), EFM8_ERR_SIZE);
        EXPECT_EQ(report.command, EFM8_CMD_WRITE);
        EXPECT_EQ(report.address, 0x80FFu);
        EXPECT_EQ(report.reply, 'A');
        for (const Bytes &frame : small.model.frames())
            EXPECT_NE(frame[2], EFM8_CMD_ERASE) << "nothing is erased";
        EXPECT_EQ(small.model.flash()[0], 0x12);
        char text[200];
        efm8_describe(&report, text, sizeof text);
        EXPECT_STREQ(text, product == 0xEACA ? "the image does not fit this EFM8UB2: its bootloader refuses address "
                                               "0x80FF, the image's last (nothing was erased)"
                                             : "the image does not fit this EFM8UB3: its bootloader refuses address "
                                               "0x80FF, the image's last (nothing was erased)");
    }
}

TEST_F(Engine, AKnownPartsLimitComesFromTheTableAndOnlyIdentifyIsSent)
{
    hidsim::Device &board = hidsim::attach(0x10C4, 0xEACB);
    board.model.set_identity(0x3601);
    board.model.set_flash_layout(0x10000, 0x9A00);
    const Bytes image(0x9A01, 0x5A);
    efm8_report report;
    ASSERT_EQ(flash(image, nullptr, &report), EFM8_ERR_SIZE);
    EXPECT_STREQ(report.part->name, "EFM8UB31F40G-QFN24");
    EXPECT_EQ(report.limit, 0x9A00u);
    for (const Bytes &frame : board.model.frames())
        EXPECT_EQ(frame[2], EFM8_CMD_IDENTIFY);
    char text[200];
    efm8_describe(&report, text, sizeof text);
    EXPECT_STREQ(text, "the image is larger than the EFM8UB31F40G-QFN24's application area of 39424 bytes "
                       "(0x0000-0x99FF); nothing was erased");
    EXPECT_EQ(flash(Bytes(0x9A00, 0x5A), nullptr), EFM8_OK);
}

TEST_F(Engine, BadSizesAndOptionsSendNothing)
{
    hidsim::Device &board = hidsim::attach();
    efm8_options options = defaults();
    EXPECT_EQ(with_session([&](efm8_session *s) { return efm8_flash(s, nullptr, 0, &options, nullptr); }),
              EFM8_ERR_SIZE);
    options.write_size = 129;
    EXPECT_EQ(flash(Bytes(10, 1), &options), EFM8_ERR_OPTIONS);
    EXPECT_EQ(board.sends, 0u);
}

TEST_F(Engine, AnImageBeyondTheUb1sAreaIsRefusedAfterIdentifyAlone)
{
    hidsim::Device &board = hidsim::attach();
    efm8_report report;
    EXPECT_EQ(flash(Bytes(UB1_AREA + 1, 0x11), nullptr, &report), EFM8_ERR_SIZE);
    EXPECT_EQ(report.limit, UB1_AREA);
    for (const Bytes &frame : board.model.frames())
        EXPECT_EQ(frame[2], EFM8_CMD_IDENTIFY);
}

TEST_F(Engine, VerifyOnlyNamesThePagesThatDifferAndWritesNothing)
{
    Bytes image(3000);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = uint8_t(i * 7);
    hidsim::Device &board = hidsim::attach();
    board.model.flash() = full_sequence_result(board.model.flash(), image);
    EXPECT_EQ(with_session([&](efm8_session *s) { return efm8_verify(s, image.data(), 3000, nullptr); }), EFM8_OK);
    board.model.flash()[1 * 512 + 400] ^= 0x01;  // second half of page 1
    board.model.flash()[2999 + 1] = 0x00;        // the padding after the image, page 5
    const Bytes before = board.model.flash();
    efm8_report report;
    EXPECT_EQ(with_session([&](efm8_session *s) { return efm8_verify(s, image.data(), 3000, &report); }),
              EFM8_ERR_MISMATCH);
    EXPECT_EQ(report.pages_differ, 2u);
    for (uint32_t page = 0; page < 8; ++page)
        EXPECT_EQ(efm8_page_differs(&report, page), page == 1 || page == 5) << page;
    EXPECT_EQ(board.model.flash(), before);
    for (const Bytes &frame : board.model.frames())
        EXPECT_TRUE(frame[2] == EFM8_CMD_IDENTIFY || frame[2] == EFM8_CMD_SETUP || frame[2] == EFM8_CMD_VERIFY);
}

TEST_F(Engine, AFailedVerifyLeavesTheBoardInItsBootloader)
{
    hidsim::Device &board = hidsim::attach();
    const Bytes image(600, 0x3C);
    efm8_options options = defaults();
    // Three identify probes, setup, the size probe, page 0's erase and 15
    // writes, page 1's erase and 2 writes, the write at 0, and the check
    // before run application.
    const size_t commands = 3 + 1 + 1 + 1 + 15 + 1 + 2 + 1 + 1;
    board.model.answer_command_with(commands - 1, 0x43);
    efm8_report report;
    EXPECT_EQ(flash(image, &options, &report), EFM8_ERR_MISMATCH);
    EXPECT_EQ(report.commands, commands);
    EXPECT_TRUE(board.model.on_bus()) << "no run application after a mismatch";
}

TEST_F(Engine, IdentifyNamesTheDerivativeAndTheVersion)
{
    efm8_identity identity;
    auto identify = [&](efm8_session *s) { return efm8_identify(s, &identity, nullptr); };
    hidsim::Device &board = hidsim::attach();
    board.model.set_identity(0x3249);
    ASSERT_EQ(with_session(identify), EFM8_OK);
    ASSERT_NE(identity.part, nullptr);
    EXPECT_STREQ(identity.part->name, "EFM8UB10F8G-QFN20");
    EXPECT_EQ(identity.app_limit, 0x1A00u);
    EXPECT_EQ(identity.version, 0x90);
    board.model.set_identity(0x3250);
    ASSERT_EQ(with_session(identify), EFM8_OK);
    EXPECT_EQ(identity.part, nullptr);
    EXPECT_STREQ(identity.family->name, "EFM8UB1");
    hidsim::reset();
    hidsim::Device &ub2 = hidsim::attach(0x10C4, 0xEACA);
    ASSERT_EQ(with_session(identify), EFM8_OK);
    EXPECT_STREQ(identity.family->name, "EFM8UB2");
    EXPECT_EQ(ub2.sends, 1u) << "no UB2 derivative is documented: only the version is asked";
}

// Locking: only after a verified flash, bits only ever clear, and what the
// bytes hold afterwards is read back by CRC.
TEST_F(Engine, LockComesOnlyAfterAVerifiedFlashAndIsReadBack)
{
    hidsim::Device &board = hidsim::attach();
    board.model.set_identity(0x3241);
    efm8_options options = defaults();
    options.lock = 1;
    options.lock_signature = 0xFF;
    options.lock_byte = efm8_lock_byte_for(3);
    options.verify = 0;
    EXPECT_EQ(flash(Bytes(700, 0x21), &options), EFM8_ERR_OPTIONS);
    options.verify = 1;
    efm8_report plain;
    ASSERT_EQ(flash(Bytes(700, 0x21), nullptr, &plain), EFM8_OK);
    board.model.reset_into_bootloader();
    // The same sequence, its final CRC check (before run application) failing.
    board.model.answer_command_with(board.model.frames().size() + plain.commands - 2, 0x43);
    EXPECT_EQ(flash(Bytes(700, 0x21), &options), EFM8_ERR_MISMATCH);
    EXPECT_EQ(board.model.lock_byte(), 0xFF) << "a failed flash never locks";

    efm8_report report;
    ASSERT_EQ(flash(Bytes(700, 0x21), &options, &report), EFM8_OK);
    EXPECT_EQ(board.model.lock_byte(), 0xFC);
    EXPECT_TRUE(report.locked);
    EXPECT_EQ(report.lock_value, 0xFC);
    EXPECT_EQ(report.signature_value, 0xA5);
    const auto &frames = board.model.frames();
    const auto lock = std::find_if(frames.begin(), frames.end(), [](const Bytes &f) { return f[2] == EFM8_CMD_LOCK; });
    ASSERT_NE(lock, frames.end());
    EXPECT_EQ(std::prev(lock)->at(2), EFM8_CMD_VERIFY) << "the lock follows the verify";

    board.model.reset_into_bootloader();
    ASSERT_EQ(with_session([&](efm8_session *s) { return efm8_lock(s, 0xFF, 0xF3, &report); }), EFM8_OK);
    EXPECT_EQ(report.lock_value, 0xF0) << "a later lock only adds pages";
}

TEST_F(Engine, CheckIdsAcceptsAnyOneOfThem)
{
    hidsim::Device &board = hidsim::attach();
    const uint16_t others[] = {0x3241, 0x3249};
    const uint16_t with_it[] = {0x3241, 0x3245};
    efm8_report report;
    EXPECT_EQ(with_session([&](efm8_session *s) { return efm8_check_ids(s, others, 2, &report); }),
              EFM8_ERR_WRONG_PART);
    EXPECT_STREQ(report.part->name, "EFM8UB11F16G-QSOP24");
    EXPECT_EQ(with_session([&](efm8_session *s) { return efm8_check_ids(s, with_it, 2, nullptr); }), EFM8_OK);
    EXPECT_EQ(board.model.frames().back()[2], EFM8_CMD_IDENTIFY);
}

TEST_F(Engine, ATransferFailureIsDescribedWithHidapisText)
{
    hidsim::Device &board = hidsim::attach();
    board.fail_read = 7;  // three identify probes, setup, the size probe, page 0's erase, two writes
    efm8_report report;
    ASSERT_EQ(flash(Bytes(100, 0x01), nullptr, &report), EFM8_ERR_TRANSFER);
    char text[300];
    efm8_describe(&report, text, sizeof text);
    EXPECT_NE(std::string(text).find("the USB transfer of the write at 0x0040 failed"), std::string::npos) << text;
    EXPECT_NE(std::string(text).find("simulated hidapi: operation not supported"), std::string::npos) << text;
    EXPECT_NE(std::string(text).find("unplugged or reset"), std::string::npos) << text;
}

}  // namespace
}  // namespace enginetest
