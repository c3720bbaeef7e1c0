// The device model is the oracle of every other test, so its own rules are
// checked here against the bootloader protocol.
#include "bootloader.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using efm8sim::Bootloader;
using Bytes = std::vector<uint8_t>;

uint8_t command(Bootloader &device, Bytes frame)
{
    device.receive(frame.data(), frame.size());
    return device.take_reply();
}

uint8_t unlock(Bootloader &device)
{
    return command(device, {'$', 4, 0x31, 0xA5, 0xF1, 0x00});
}

TEST(Bootloader, IdentifyComparesTheIdentity)
{
    Bootloader device;
    EXPECT_EQ(command(device, {'$', 3, 0x30, 0x32, 0x45}), 0x40);
    EXPECT_EQ(command(device, {'$', 3, 0x30, 0x32, 0x41}), 0x42);
    device.set_identity(0x3241);
    EXPECT_EQ(command(device, {'$', 3, 0x30, 0x32, 0x41}), 0x40);
}

TEST(Bootloader, EraseAndWriteNeedTheFlashKeys)
{
    Bootloader device;
    EXPECT_EQ(command(device, {'$', 3, 0x32, 0x00, 0x00}), 0x41);
    EXPECT_EQ(command(device, {'$', 4, 0x33, 0x00, 0x00, 0x00}), 0x41);
    EXPECT_EQ(device.flash(), Bytes(16384, 0xFF));
    EXPECT_EQ(command(device, {'$', 4, 0x31, 0xA5, 0xF2, 0x00}), 0x40);
    EXPECT_EQ(command(device, {'$', 4, 0x33, 0x00, 0x00, 0x00}), 0x41);
    EXPECT_EQ(unlock(device), 0x40);
    EXPECT_EQ(command(device, {'$', 4, 0x33, 0x00, 0x00, 0x00}), 0x40);
    EXPECT_EQ(device.flash()[0], 0x00);
}

TEST(Bootloader, WritesOnlyClearBitsAndErasesWholePages)
{
    Bootloader device;
    unlock(device);
    EXPECT_EQ(command(device, {'$', 5, 0x33, 0x02, 0x10, 0xF0, 0x3C}), 0x40);
    EXPECT_EQ(command(device, {'$', 5, 0x33, 0x02, 0x10, 0x0F, 0x0F}), 0x40);
    EXPECT_EQ(device.flash()[0x210], 0x00);
    EXPECT_EQ(device.flash()[0x211], 0x0C);
    // Erase at an address inside the page clears it all, then writes what follows.
    EXPECT_EQ(command(device, {'$', 4, 0x32, 0x03, 0xFF, 0x12}), 0x40);
    EXPECT_EQ(device.flash()[0x210], 0xFF);
    EXPECT_EQ(device.flash()[0x3FF], 0x12);
}

TEST(Bootloader, KeepsOutOfTheBootloaderArea)
{
    Bootloader device;
    unlock(device);
    EXPECT_EQ(command(device, {'$', 3, 0x32, 0x3A, 0x00}), 0x41);
    EXPECT_EQ(command(device, {'$', 3, 0x32, 0x39, 0xFF}), 0x40);
    EXPECT_EQ(command(device, {'$', 5, 0x33, 0x39, 0xFF, 0x00, 0x00}), 0x41);
    EXPECT_EQ(command(device, {'$', 4, 0x33, 0x39, 0xFF, 0x00}), 0x40);
    EXPECT_EQ(command(device, {'$', 4, 0x33, 0x3A, 0x00, 0x00}), 0x41);
    EXPECT_EQ(device.flash()[0x3A00], 0xFF);
}

TEST(Bootloader, EraseDataStaysInItsPageAndWritesCarryAtMost128Bytes)
{
    Bootloader device;
    unlock(device);
    Bytes erase = {'$', 5, 0x32, 0x01, 0xFF, 0x11, 0x22};  // its second byte is the next page's
    EXPECT_EQ(command(device, erase), 0x41);
    Bytes write = {'$', 3 + 129, 0x33, 0x00, 0x00};
    write.resize(write.size() + 129, 0x00);
    EXPECT_EQ(command(device, write), 0x41);
    write[1] = 3 + 128;
    write.pop_back();
    EXPECT_EQ(command(device, write), 0x40);
    EXPECT_EQ(device.flash()[127], 0x00);
    EXPECT_EQ(device.flash()[128], 0xFF);
}

TEST(Bootloader, LargerPartsTakeTheirOwnLayout)
{
    Bootloader device;
    device.set_flash_layout(0x10000, 0xF800);
    unlock(device);
    EXPECT_EQ(command(device, {'$', 4, 0x32, 0xF6, 0x00, 0x5A}), 0x40);
    EXPECT_EQ(device.flash()[0xF600], 0x5A);
    EXPECT_EQ(command(device, {'$', 3, 0x32, 0xF8, 0x00}), 0x41);
    EXPECT_EQ(device.flash().size(), 0x10000u);
}

TEST(Bootloader, VerifyChecksTheXmodemCrc)
{
    const Bytes check = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(efm8sim::crc16_xmodem(check.data(), check.size()), 0x31C3);
    Bootloader device;
    EXPECT_EQ(command(device, {'$', 7, 0x34, 0x00, 0x00, 0x00, 0x08, 0xFF, 0xFF}), 0x41) << "keys first";
    unlock(device);
    command(device, {'$', 12, 0x33, 0x00, 0x00, '1', '2', '3', '4', '5', '6', '7', '8', '9'});
    EXPECT_EQ(command(device, {'$', 7, 0x34, 0x00, 0x00, 0x00, 0x08, 0x31, 0xC3}), 0x40);
    EXPECT_EQ(command(device, {'$', 7, 0x34, 0x00, 0x00, 0x00, 0x08, 0x31, 0xC4}), 0x43);
}

TEST(Bootloader, OtherReportsAndCommands)
{
    Bootloader device;
    EXPECT_EQ(command(device, {'$', 3, 0x35, 0x00, 0x00}), 0x40);
    EXPECT_EQ(command(device, {'$', 1, 0x3F}), 0x90);
    device.receive(Bytes{'#', 3, 0x30, 0x32, 0x45}.data(), 5);
    EXPECT_EQ(device.frames().size(), 2u) << "a report without '$' is ignored";
    EXPECT_EQ(device.take_reply(), 0x90);
}

TEST(Bootloader, LockOnlyClearsBitsAndAZeroSignatureEndsTheBootloaderForGood)
{
    for (std::uint32_t lock_byte : {0xFBFFu, 0x1FFFu}) {  // above the code flash (UB1), inside it (BB1 8 KB)
        Bootloader device;
        device.set_layout({0x2000, 0x1E00, 512, lock_byte});
        EXPECT_EQ(device.signature_byte(), 0xA5);
        EXPECT_EQ(command(device, {'$', 3, 0x35, 0xFF, 0xF0}), 0x40);
        EXPECT_EQ(device.lock_byte(), 0xFF) << "no keys, no change";
        unlock(device);
        EXPECT_EQ(command(device, {'$', 3, 0x35, 0xFF, 0xF0}), 0x40);
        EXPECT_EQ(command(device, {'$', 3, 0x35, 0xFF, 0x3F}), 0x40);
        EXPECT_EQ(device.lock_byte(), 0x30);
        const std::uint16_t crc = efm8sim::crc16_xmodem(Bytes{0xA5, 0x30}.data(), 2);
        EXPECT_EQ(command(device, {'$', 7, 0x34, uint8_t(lock_byte >> 8), uint8_t(lock_byte - 1), uint8_t(lock_byte >> 8),
                                   uint8_t(lock_byte), uint8_t(crc >> 8), uint8_t(crc)}),
                  0x40) << "verify reads the security bytes";
        device.reset_into_bootloader();
        EXPECT_TRUE(device.on_bus());
        unlock(device);
        EXPECT_EQ(command(device, {'$', 3, 0x35, 0x00, 0xFF}), 0x40);
        EXPECT_EQ(device.signature_byte(), 0x00);
        EXPECT_EQ(command(device, {'$', 3, 0x36, 0x00, 0x00}), 0x40);
        device.reset_into_bootloader();
        EXPECT_FALSE(device.on_bus()) << "a disabled bootloader never starts again";
    }
}

TEST(Bootloader, PagesOfAKilobyte)
{
    Bootloader device;
    device.set_layout({0x8000, 0x7C00, 1024, 0x7FFF});
    unlock(device);
    EXPECT_EQ(command(device, {'$', 4, 0x33, 0x05, 0x00, 0x00}), 0x40);
    EXPECT_EQ(command(device, {'$', 4, 0x32, 0x04, 0x00, 0x11}), 0x40);
    EXPECT_EQ(device.flash()[0x500], 0xFF) << "the erase at 0x400 cleared the whole kilobyte";
    EXPECT_EQ(device.flash()[0x400], 0x11);
    EXPECT_EQ(command(device, {'$', 3, 0x32, 0x7C, 0x00}), 0x41);
}

TEST(Bootloader, RunApplicationAnswersThenLeaves)
{
    Bootloader device;
    unlock(device);
    EXPECT_EQ(command(device, {'$', 4, 0x33, 0x00, 0x00, 0x02}), 0x40);
    device.receive(Bytes{'$', 3, 0x36, 0x00, 0x00}.data(), 5);
    EXPECT_TRUE(device.on_bus());
    EXPECT_EQ(device.take_reply(), 0x40);
    EXPECT_FALSE(device.on_bus());
}

// The run command resets the chip, and a chip whose byte 0 is 0xFF enters
// its bootloader again, keys cleared.
TEST(Bootloader, RunApplicationWithByteZeroErasedStaysInTheBootloader)
{
    Bootloader device;
    unlock(device);
    EXPECT_EQ(command(device, {'$', 4, 0x33, 0x00, 0x01, 0x02}), 0x40);
    device.receive(Bytes{'$', 3, 0x36, 0x00, 0x00}.data(), 5);
    EXPECT_EQ(device.take_reply(), 0x40);
    EXPECT_TRUE(device.on_bus());
    EXPECT_NE(command(device, {'$', 4, 0x33, 0x00, 0x02, 0x02}), 0x40) << "the flash keys survived the reset";
}

}  // namespace
