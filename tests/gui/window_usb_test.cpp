// The window over the real hidapi-libusb and libusb stack, against the
// emulated bootloader. Runs under umockdev-wrapper.
#include "window_harness.h"

#include "usb_emulator.h"

#include <wx/weakref.h>

namespace {

TEST(WindowOverUsb, FindsTheDeviceAndFlashesIt)
{
    usbemu::Emulator emulator;  // made before the first hidapi call of the process
    usbemu::Device &device = emulator.attach();
    wxWeakRef<Window> window(new Window);
    window->Show();

    for (int32_t i = 0; i < 3000; ++i)
        window->fw_buf[i] = static_cast<unsigned char>(i * 11 + 1);
    window->fw_size = 3000;
    window->tick();
    EXPECT_EQ(window->status(0), "Found EFM8");
    ASSERT_TRUE(window->flash_button->IsEnabled());

    std::vector<ShownBox> shown;
    wxTEST_DIALOG(window->click(window->flash_button), ExpectBox(shown).Optional());
    EXPECT_TRUE(shown.empty()) << "a flash failure box was shown";
    EXPECT_EQ(window->status(1), "Flash Successfull");
    {
        std::lock_guard<std::mutex> guard(emulator.lock());
        EXPECT_TRUE(std::equal(window->fw_buf, window->fw_buf + 3000, device.model.flash().begin()));
    }
    window->tick();
    EXPECT_EQ(window->status(0), "No EFM8 connected") << "the device runs its application";
    destroy(window);
}

}  // namespace
