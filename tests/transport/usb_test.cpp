// The shipped link over the real hidapi-libusb and libusb, against the
// bootloader model emulated at the usbdevfs interface. Runs under
// umockdev-wrapper; started without it, the run fails.
#include <kestrane/engine.h>
#include "gui/lib.h"
#include "usb_emulator.h"

#include "time_scale.h"
#include "without_file_override.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <iostream>
#include <set>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

usbemu::Emulator *emulator;

Bytes image_of(size_t count)
{
    Bytes image(count);
    for (size_t i = 0; i < count; ++i)
        image[i] = static_cast<uint8_t>(i * 31 + 7);
    return image;
}

// Descriptors this process holds on the device node, the emulator's own
// aside.
int program_fds_on(const usbemu::Device &device)
{
    int count = 0;
    DIR *fds = opendir("/proc/self/fd");
    while (dirent *entry = readdir(fds)) {
        char target[512];
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, n) == device.node)
            ++count;
    }
    closedir(fds);
    return count - 1;
}

class Usb : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (usbemu::Device *device : attached_)
            if (!device->gone)
                emulator->detach(*device);
        EXPECT_EQ(efm8_find(), 0);
    }

    usbemu::Device &attach(uint16_t vendor_id = 0x10C4, uint16_t product_id = 0xEAC9)
    {
        attached_.push_back(&emulator->attach(vendor_id, product_id));
        return *attached_.back();
    }

private:
    std::vector<usbemu::Device *> attached_;
};

TEST_F(Usb, FindSeesDevicesComeAndGo)
{
    EXPECT_EQ(efm8_find(), 0);
    attach(0x10C4, 0x0001);
    EXPECT_EQ(efm8_find(), 0);
    usbemu::Device &first = attach();
    EXPECT_EQ(efm8_find(), 1);
    usbemu::Device &second = attach();
    EXPECT_EQ(efm8_find(), 1);
    emulator->detach(first);
    EXPECT_EQ(efm8_find(), 1);
    emulator->detach(second);
    EXPECT_EQ(efm8_find(), 0);
}

class UsbFlash : public Usb, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(UsbFlash, WritesTheImageThroughFeatureReports)
{
    const uint32_t count = GetParam();
    usbemu::Device &device = attach();
    ASSERT_EQ(efm8_find(), 1);
    const Bytes image = image_of(count);
    ASSERT_EQ(efm8_program(image.data(), count), 0);

    std::lock_guard<std::mutex> guard(emulator->lock());
    Bytes expected = image;
    expected.resize(efm8sim::FLASH_SIZE, 0xFF);
    EXPECT_EQ(device.model.flash(), expected);

    // Each frame is a SET_REPORT of feature report 0 with N+2 bytes, each
    // reply a GET_REPORT of 7: hidapi strips and adds the report id.
    std::vector<usbemu::ControlTransfer> reports;
    for (const usbemu::ControlTransfer &c : device.controls)
        if (c.request_type & 0x20)
            reports.push_back(c);
    const auto &frames = device.model.frames();
    ASSERT_EQ(reports.size(), 2 * frames.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        const usbemu::ControlTransfer &out = reports[2 * i], &in = reports[2 * i + 1];
        EXPECT_EQ(out.request_type, 0x21);
        EXPECT_EQ(out.request, 0x09);
        EXPECT_EQ(out.value, 0x0300);
        EXPECT_EQ(out.length, frames[i][1] + 2);
        EXPECT_EQ(in.request_type, 0xA1);
        EXPECT_EQ(in.request, 0x01);
        EXPECT_EQ(in.value, 0x0300);
        EXPECT_EQ(in.length, 7);
    }

    // Run application sent the chip into its application: it left the bus,
    // and the interface and node were given back before that.
    EXPECT_TRUE(device.gone);
    EXPECT_EQ(device.claims, 1);
}

INSTANTIATE_TEST_SUITE_P(Images, UsbFlash, ::testing::Values(1u, 1000u, 14848u));

TEST_F(Usb, EveryCallReleasesTheInterfaceAndClosesTheNode)
{
    usbemu::Device &device = attach();
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(efm8_find(), 1);
    EXPECT_EQ(program_fds_on(device), 0) << "after finding";
    // A stalled write ends the flash with the device still in its bootloader.
    device.fail_report = 10;
    device.fail_status = -EPIPE;
    const Bytes image = image_of(100);
    EXPECT_EQ(efm8_program(image.data(), 100), -3);
    std::lock_guard<std::mutex> guard(emulator->lock());
    EXPECT_EQ(device.claims, 1);
    EXPECT_EQ(device.releases, 1);
    EXPECT_EQ(device.reconnects, 1) << "the kernel driver is given back";
    EXPECT_EQ(program_fds_on(device), 0) << "after flashing";
}

TEST_F(Usb, AfterRunApplicationTheDeviceIsGone)
{
    attach();
    const Bytes image = image_of(64);
    ASSERT_EQ(efm8_program(image.data(), 64), 0);
    EXPECT_EQ(efm8_find(), 0);
    EXPECT_EQ(efm8_program(image.data(), 64), -1);
}

struct TransferFault {
    const char *name;
    bool unplug;
    int status;
};

class UsbFault : public Usb, public ::testing::WithParamInterface<TransferFault> {};

TEST_P(UsbFault, MidFlashEndsAtOnce)
{
    const TransferFault fault = GetParam();
    usbemu::Device &device = attach();
    const size_t at = 2 * 20 + 1;  // the reply of the 21st command, a write
    if (fault.unplug)
        device.unplug_at_report = at;
    else {
        device.fail_report = at;
        device.fail_status = fault.status;
    }
    const Bytes image = image_of(14848);
    EXPECT_EQ(efm8_program(image.data(), 14848), -3);
    std::lock_guard<std::mutex> guard(emulator->lock());
    EXPECT_EQ(device.reports, at + (fault.unplug ? 0 : 1)) << "nothing is sent after the failure";
    EXPECT_EQ(device.model.frames().size(), 21u);
}

INSTANTIATE_TEST_SUITE_P(Faults, UsbFault,
                         ::testing::Values(TransferFault{"Unplugged", true, 0},
                                           TransferFault{"NoDevice", false, -ENODEV},
                                           TransferFault{"Stall", false, -EPIPE}),
                         [](const auto &info) { return std::string(info.param.name); });

// A device that stops answering: hidapi-libusb gives each control transfer
// a second, and libusb then takes the transfer back. The call fails with
// EFM8_ERR_TRANSFER once that second has passed and soon after, whether the
// record or its reply never went through; nothing more is sent, and the
// next session finds the board answering. Both boards wait at once.
const std::chrono::milliseconds HIDAPI_TRANSFER_TIMEOUT(1000);

TEST_F(Usb, ARecordOrReplyThatNeverGoesThroughFailsOnceHidapisTimeOutHasPassed)
{
    const char *const unanswered[] = {"the record", "its reply"};
    std::vector<usbemu::Device *> boards;
    for (size_t report = 0; report < 2; ++report) {
        boards.push_back(&attach());
        std::lock_guard<std::mutex> guard(emulator->lock());
        boards.back()->silent_report = report;  // the identify's SET_REPORT, then its GET_REPORT
    }
    efm8_device listed[2];  // by path: in the order attached
    ASSERT_EQ(efm8_list(listed, 2), 2);
    std::vector<int32_t> results(2, EFM8_OK);
    std::vector<std::chrono::milliseconds> took(2);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < 2; ++i)
        threads.emplace_back([&, i] {
            efm8_session *session = nullptr;
            results[i] = efm8_open(listed[i].path, &session);
            if (results[i] == EFM8_OK)
                took[i] = timing::time_of([&] { results[i] = efm8_ping(session, nullptr); });
            efm8_close(session);
        });
    for (std::thread &thread : threads)
        thread.join();
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(std::string(unanswered[i]) + " never went through; waited " + std::to_string(took[i].count()) +
                     " ms");
        EXPECT_EQ(results[i], EFM8_ERR_TRANSFER);
        EXPECT_GE(took[i].count(), HIDAPI_TRANSFER_TIMEOUT.count()) << "given up before hidapi's time-out";
        EXPECT_LE(took[i].count(), (HIDAPI_TRANSFER_TIMEOUT + timing::slack()).count()) << "given up long after hidapi's time-out";
        {
            std::lock_guard<std::mutex> guard(emulator->lock());
            EXPECT_EQ(boards[i]->reports, i + 1) << "nothing is sent after";
            boards[i]->silent_report = usbemu::NEVER;
        }
        efm8_session *session = nullptr;
        ASSERT_EQ(efm8_open(listed[i].path, &session), EFM8_OK);
        EXPECT_EQ(efm8_ping(session, nullptr), EFM8_OK) << "the board answers the next session";
        efm8_close(session);
    }
}

TEST_F(Usb, UnopenableNodeIsNoDevice)
{
    usbemu::Device &device = attach();
    emulator->deny_access(device);
    const Bytes image = image_of(10);
    int32_t result;
    {
        WithoutFileOverride as_a_user;
        result = efm8_program(image.data(), 10);
    }
    EXPECT_EQ(result, -1);
    std::lock_guard<std::mutex> guard(emulator->lock());
    EXPECT_TRUE(device.model.frames().empty());
}

// The engine over the real stack.

TEST_F(Usb, SeveralBoardsAreListedApartAndFlashedAtOnce)
{
    const uint16_t products[] = {0xEAC9, 0xEACA, 0xEACB, 0xEAC9};
    std::vector<usbemu::Device *> boards;
    for (uint16_t product : products)
        boards.push_back(&attach(0x10C4, product));
    efm8_device listed[8];
    ASSERT_EQ(efm8_list(listed, 8), 4);
    std::set<std::string> paths;
    for (int i = 0; i < 4; ++i)
        paths.insert(listed[i].path);
    EXPECT_EQ(paths.size(), 4u) << "each board has a path of its own";

    std::vector<Bytes> images;
    std::vector<int32_t> results(4, 1);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        images.push_back(image_of(3000 + 1000 * i));
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&, i] {
            efm8_session *session = nullptr;
            results[i] = efm8_open(listed[i].path, &session);
            if (results[i] == EFM8_OK)
                results[i] = efm8_flash(session, images[i].data(), uint32_t(images[i].size()), nullptr, nullptr);
            efm8_close(session);
        });
    }
    for (std::thread &thread : threads)
        thread.join();

    std::lock_guard<std::mutex> guard(emulator->lock());
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(results[i], EFM8_OK) << listed[i].path;
        // Which board a path names: the one whose flash starts like an image.
        const Bytes &image = images[i];
        int holders = 0;
        for (usbemu::Device *board : boards)
            if (std::equal(image.begin(), image.end(), board->model.flash().begin()) &&
                board->model.flash()[image.size()] == 0xFF)
                ++holders;
        EXPECT_EQ(holders, 1) << "image " << i << " is on exactly one board";
    }
}

TEST_F(Usb, VerifyOnlyFindsAChangedPage)
{
    usbemu::Device &board = attach();
    const Bytes image = image_of(5000);
    efm8_session *session = nullptr;
    ASSERT_EQ(efm8_open(nullptr, &session), EFM8_OK);
    efm8_options options;
    efm8_default_options(&options);
    options.run = 0;
    ASSERT_EQ(efm8_flash(session, image.data(), 5000, &options, nullptr), EFM8_OK);
    {
        std::lock_guard<std::mutex> guard(emulator->lock());
        board.model.flash()[4 * 512 + 7] ^= 0x80;
    }
    efm8_report report;
    EXPECT_EQ(efm8_verify(session, image.data(), 5000, &report), EFM8_ERR_MISMATCH);
    efm8_close(session);
    EXPECT_EQ(report.pages_differ, 1u);
    EXPECT_TRUE(efm8_page_differs(&report, 4));
}

TEST_F(Usb, ABoardThisUserMayNotOpenIsToldApart)
{
    usbemu::Device &board = attach();
    emulator->deny_access(board);
    efm8_session *session = nullptr;
    int32_t result;
    {
        WithoutFileOverride as_a_user;
        result = efm8_open(nullptr, &session);
    }
    EXPECT_EQ(result, EFM8_ERR_ACCESS);
    EXPECT_EQ(session, nullptr);
}

}  // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests))
        return RUN_ALL_TESTS();
    try {
        emulator = new usbemu::Emulator;
    } catch (const std::exception &e) {
        std::cerr << "usb_test: " << e.what() << "\n";
        return 1;
    }
    const int result = RUN_ALL_TESTS();
    delete emulator;
    return result;
}
