// The bootloader link against the simulated device. The link's source is
// included so its file-private command encoders can be driven directly.
#include "gui/lib.cpp"

#include "hidsim.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const size_t APP_SIZE = 14848;

class Link : public ::testing::Test {
protected:
    void SetUp() override { hidsim::reset(); }
    void TearDown() override
    {
        EXPECT_EQ(hidsim::counters().open_handles, 0) << "a handle was left open";
        EXPECT_EQ(hidsim::counters().live_list_entries, 0) << "an enumeration was not freed";
        hidsim::reset();
    }
};

Bytes image_of(size_t count)
{
    Bytes image(count);
    for (size_t i = 0; i < count; ++i)
        image[i] = static_cast<uint8_t>(i * 7 + 3 + i / 251);
    return image;
}

Bytes hex(std::initializer_list<int> bytes)
{
    return Bytes(bytes.begin(), bytes.end());
}

// Discovery.

TEST_F(Link, FindAnswersOnlyForTheBootloaderIdentity)
{
    EXPECT_EQ(efm8_find(), 0);
    hidsim::attach(0x10C4, 0x1234);
    hidsim::attach(0x1234, 0xEAC9);
    EXPECT_EQ(efm8_find(), 0);
    hidsim::Device &first = hidsim::attach();
    EXPECT_EQ(efm8_find(), 1);
    hidsim::Device &second = hidsim::attach();
    EXPECT_EQ(efm8_find(), 1);
    hidsim::detach(first);
    hidsim::detach(second);
    EXPECT_EQ(efm8_find(), 0);
}

TEST_F(Link, RepeatedFindsOpenNothingAndSendNothing)
{
    hidsim::Device &device = hidsim::attach();
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(efm8_find(), 1);
    EXPECT_EQ(device.opens, 0);
    EXPECT_EQ(device.sends, 0u);
    EXPECT_EQ(hidsim::counters().enumerations, 100);
}

// Frames, byte by byte, as the device received them (the report id is not
// sent, so each is the feature report less its first byte).

TEST_F(Link, CommandFramesAreByteExact)
{
    hidsim::Device &device = hidsim::attach();
    hid_device *dev = hid_open(0x10C4, 0xEAC9, NULL);
    Bytes data(40);
    std::iota(data.begin(), data.end(), 0x80);

    EXPECT_EQ(send_id(dev, 0x3245), 0x40);
    EXPECT_EQ(send_setup(dev), 0x40);
    EXPECT_EQ(send_erase(dev, 0x0200), 0x40);
    EXPECT_EQ(send_write(dev, 0x0020, data.data(), 40), 0x40);
    EXPECT_EQ(send_write(dev, 0x0040, data.data(), 1), 0x40);
    EXPECT_EQ(send_write(dev, 0x0060, data.data(), 0), 0x40);
    EXPECT_EQ(send_erase(dev, 0x13400), 0x40);  // only the low 16 bits go out
    EXPECT_EQ(send_runapp(dev), 0x40);
    hid_close(dev);

    Bytes write32 = hex({0x24, 0x23, 0x33, 0x00, 0x20});
    write32.insert(write32.end(), data.begin(), data.begin() + 32);
    const std::vector<Bytes> expected = {
        hex({0x24, 0x03, 0x30, 0x32, 0x45}),
        hex({0x24, 0x04, 0x31, 0xA5, 0xF1, 0x00}),
        hex({0x24, 0x03, 0x32, 0x02, 0x00}),
        write32,
        hex({0x24, 0x04, 0x33, 0x00, 0x40, 0x80}),
        hex({0x24, 0x03, 0x33, 0x00, 0x60}),  // shorter than the frame before it
        hex({0x24, 0x03, 0x32, 0x34, 0x00}),
        hex({0x24, 0x03, 0x36, 0x00, 0x00}),
    };
    EXPECT_EQ(device.model.frames(), expected);
}

TEST_F(Link, SendBufReportsTransportFailures)
{
    hidsim::Device &device = hidsim::attach();
    hid_device *dev = hid_open(0x10C4, 0xEAC9, NULL);
    device.fail_send = 0;
    EXPECT_LT(send_setup(dev), 0);
    EXPECT_EQ(device.reads, 0u) << "no reply may be asked after a failed send";
    device.fail_read = 0;  // transfers are counted in each direction
    EXPECT_LT(send_setup(dev), 0);
    device.short_read = 1;
    EXPECT_LT(send_setup(dev), 0) << "a reply without a code must not pass as one";
    device.model.answer_command_with(2, 0x41);
    EXPECT_EQ(send_setup(dev), 0x41);
    hid_close(dev);
}

// Whole sequences.

TEST_F(Link, RefusesBadSizesWithoutTouchingUsb)
{
    hidsim::attach();
    const Bytes image = image_of(16384);
    for (uint32_t count : {0u, 14849u, 16384u}) {
        EXPECT_EQ(efm8_program(image.data(), count), -2) << count;
        EXPECT_EQ(hidsim::counters().calls, 0) << count;
    }
}

TEST_F(Link, NoDeviceSendsNothing)
{
    hidsim::Device &other = hidsim::attach(0x10C4, 0x0001);
    const Bytes image = image_of(100);
    EXPECT_EQ(efm8_program(image.data(), 100), -1);
    EXPECT_EQ(other.sends, 0u);
}

class Sequence : public Link, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(Sequence, ErasesWritesAndRunsInOrder)
{
    const uint32_t count = GetParam();
    hidsim::Device &device = hidsim::attach();
    const Bytes image = image_of(count);
    ASSERT_EQ(efm8_program(image.data(), count), 0);

    const auto &frames = device.model.frames();
    const size_t pages = (count + 511) / 512, writes = (count + 31) / 32;
    ASSERT_EQ(frames.size(), 2 + pages + writes + 1);
    EXPECT_EQ(frames[0][2], 0x30);
    EXPECT_EQ(frames[1][2], 0x31);
    for (size_t p = 0; p < pages; ++p)
        EXPECT_EQ(frames[2 + p], hex({0x24, 3, 0x32, int(p * 2), 0})) << "page " << p;
    for (size_t w = 0; w < writes; ++w) {
        const Bytes &frame = frames[2 + pages + w];
        const size_t address = w * 32, len = std::min<size_t>(32, count - address);
        ASSERT_EQ(frame.size(), 5 + len) << "write " << w;
        EXPECT_EQ(frame[1], len + 3);
        EXPECT_EQ(frame[2], 0x33);
        EXPECT_EQ(size_t(frame[3] << 8 | frame[4]), address);
    }
    EXPECT_EQ(frames.back(), hex({0x24, 3, 0x36, 0, 0}));

    Bytes expected_flash = image;
    expected_flash.resize(efm8sim::FLASH_SIZE, 0xFF);
    EXPECT_EQ(device.model.flash(), expected_flash);
    EXPECT_EQ(device.opens, 1);
    EXPECT_EQ(device.closes, 1);
    EXPECT_EQ(device.blocking_mode_sets, 1);
    EXPECT_EQ(device.reads, frames.size()) << "one reply read after every frame";
}

INSTANTIATE_TEST_SUITE_P(Counts, Sequence,
                         ::testing::Values(1u, 31u, 32u, 512u, 513u, 1000u, 14847u, 14848u));

// Faults at every command of a full 14848-byte flash: 1 identify, 1 setup,
// 29 erases, 464 writes and the run command.

const size_t FULL_COMMANDS = 2 + 29 + 464 + 1;
const size_t RUNAPP_INDEX = FULL_COMMANDS - 1;

enum class Fault { FailedSend, FailedRead, ShortReply, Vanish, Refusal };

std::ostream &operator<<(std::ostream &out, Fault fault)
{
    const char *names[] = {"FailedSend", "FailedRead", "ShortReply", "Vanish", "Refusal"};
    return out << names[static_cast<int>(fault)];
}

class FaultMatrix : public Link, public ::testing::WithParamInterface<std::tuple<Fault, size_t>> {};

TEST_P(FaultMatrix, IsReportedHonestly)
{
    const auto [fault, index] = GetParam();
    hidsim::Device &device = hidsim::attach();
    switch (fault) {
    case Fault::FailedSend: device.fail_send = index; break;
    case Fault::FailedRead: device.fail_read = index; break;
    case Fault::ShortReply: device.short_read = index; break;
    case Fault::Vanish: device.model.vanish_after_command(index); break;
    case Fault::Refusal: device.model.answer_command_with(index, 0x41); break;
    }
    const Bytes image = image_of(APP_SIZE);
    const int32_t result = efm8_program(image.data(), APP_SIZE);
    EXPECT_EQ(device.closes, 1);

    if (index == RUNAPP_INDEX || (fault == Fault::Refusal && index == 0)) {
        // Identify's and run application's replies do not decide the outcome.
        EXPECT_EQ(result, 0);
        EXPECT_EQ(device.sends, FULL_COMMANDS);
    } else if (fault == Fault::Refusal) {
        EXPECT_EQ(result, -4);
        EXPECT_EQ(device.sends, FULL_COMMANDS) << "the whole sequence is still sent";
        EXPECT_EQ(device.model.frames().back()[2], 0x36);
    } else {
        EXPECT_EQ(result, -3);
        EXPECT_EQ(device.sends, index + 1) << "nothing may follow a failed transfer";
        EXPECT_EQ(device.reads, fault == Fault::FailedSend ? index : index + 1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    EveryCommand, FaultMatrix,
    ::testing::Combine(::testing::Values(Fault::FailedSend, Fault::FailedRead, Fault::ShortReply,
                                         Fault::Vanish, Fault::Refusal),
                       ::testing::Range<size_t>(0, FULL_COMMANDS)));

TEST_F(Link, OtherDerivativeAnsweringBadIdStillFlashes)
{
    hidsim::Device &device = hidsim::attach();
    device.model.set_identity(0x3241);
    const Bytes image = image_of(1000);
    EXPECT_EQ(efm8_program(image.data(), 1000), 0);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), device.model.flash().begin()));
}

}  // namespace
