// The shipped link over the real hidapi-libusb and libusb, against the
// bootloader model emulated at the usbdevfs interface. Runs under
// umockdev-wrapper; without it the run fails.
#include "lib.h"
#include "usb_emulator.h"

#include <gtest/gtest.h>

#include <iostream>
#include <memory>

namespace {

usbemu::Emulator *emulator;

TEST(Usb, Basic)
{
    usbemu::Device &device = emulator->attach();
    EXPECT_EQ(efm8_find(), 1);
    std::vector<uint8_t> image(1000, 0x42);
    EXPECT_EQ(efm8_program(image.data(), 1000), 0);
    std::lock_guard<std::mutex> guard(emulator->lock());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), device.model.flash().begin()));
    for (auto &c : device.controls)
        printf("%02x %02x %04x %04x %d\n", c.request_type, c.request, c.value, c.index, c.length);
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
