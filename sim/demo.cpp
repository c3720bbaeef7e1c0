// Built only into the demo build of the stand-in, the shared library that
// takes hidapi-libusb's place so the real kestrane binary runs without
// hardware. One bootloader device is attached when the library loads.
// KESTRANE_SIM_LOG names a file that gets a line for each enumeration, open
// and close; KESTRANE_SIM_FLASH_OUT a file that gets the flash at exit.
#include "hidsim.h"

#include <cstdio>
#include <cstdlib>

namespace {

struct Demo {
    hidsim::Device *device;
    std::FILE *log = nullptr;

    Demo() : device(&hidsim::attach())
    {
        const char *path = std::getenv("KESTRANE_SIM_LOG");
        if (!path)
            return;
        log = std::fopen(path, "a");
        if (!log) {
            std::perror(path);
            return;
        }
        hidsim::observe([this](const char *event) {
            std::fprintf(log, "%s\n", event);
            std::fflush(log);
        });
    }

    ~Demo()
    {
        hidsim::observe({});
        if (log)
            std::fclose(log);
        if (const char *path = std::getenv("KESTRANE_SIM_FLASH_OUT"))
            write_flash(path);
    }

    void write_flash(const char *path)
    {
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
