// Built only into the demo build of the stand-in, the shared library that
// takes hidapi-libusb's place so the real kestrane binary runs without
// hardware: one bootloader device is attached when the library loads, and
// the flash is written out at exit when KESTRANE_SIM_FLASH_OUT names a file.
#include "hidsim.h"

#include <cstdio>
#include <cstdlib>

namespace {

struct Demo {
    hidsim::Device *device;

    Demo() : device(&hidsim::attach()) {}

    ~Demo()
    {
        const char *path = std::getenv("KESTRANE_SIM_FLASH_OUT");
        if (!path)
            return;
        std::FILE *out = std::fopen(path, "wb");
        if (!out) {
            std::perror(path);
            return;
        }
        const auto &flash = device->model.flash();
        std::fwrite(flash.data(), 1, flash.size(), out);
        std::fclose(out);
    }
};

Demo demo;

}  // namespace
