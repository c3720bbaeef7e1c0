// Built only into the demo build of the stand-in, the shared library that
// takes hidapi-libusb's place so the real kestrane and kestrane-cli binaries
// run without hardware. Bootloader devices are attached when the library
// loads; environment variables shape them:
//   KESTRANE_SIM_BOARDS      how many EFM8UB1 boards (default 1)
//   KESTRANE_SIM_FLASH_IN    a file every board's flash starts with
//   KESTRANE_SIM_ANSWER      "N:HH": board 1 answers its Nth command (from 0)
//                            with the reply code HH (hex)
//   KESTRANE_SIM_VANISH      N: board 1 leaves the bus after its Nth command
//   KESTRANE_SIM_DROP        N: the transfer of board 1's Nth command (from 0)
//                            after each open fails, the board staying on the bus
//   KESTRANE_SIM_LOG         a file that gets a line for each enumeration,
//                            open and close
//   KESTRANE_SIM_FLASH_OUT   a file that gets board 1's flash at exit; board
//                            N's goes to FILE.N. FILE.state (FILE.N.state)
//                            gets its lock and signature bytes and whether it
//                            is in its bootloader: "lock FF", "signature A5",
//                            "mode bootloader" or "mode application";
//                            FILE.frames (FILE.N.frames) every frame it got,
//                            a line of hex each, '$' (24) first
//   KESTRANE_SIM_APP         "VID:PID:HEX": an application's HID device with
//                            this USB id is attached too; the output report
//                            HEX written to it (report id first) sends it
//                            into its bootloader: it leaves, and a bootloader
//                            board appears ("write HEX" in the log)
//   KESTRANE_SIM_CONTROL     a FIFO read for commands while the program runs:
//                            "attach [PRODUCT-ID-HEX]", "detach N", and
//                            "return N" (board N reset into its bootloader)
#include "hidsim.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Demo {
    std::vector<hidsim::Device *> boards;
    std::vector<std::uint8_t> flash_in;
    std::FILE *log = nullptr;
    std::size_t drop = hidsim::NEVER;
    int opens_seen = 0;  // board 1's, when its drop was last set

    Demo()
    {
        read_flash_in();
        const char *count = std::getenv("KESTRANE_SIM_BOARDS");
        for (int i = count ? std::atoi(count) : 1; i > 0; --i)
            attach(0xEAC9);
        inject_faults();
        attach_application();
        open_log();
        observe();
        listen_for_commands();
    }

    ~Demo()
    {
        hidsim::observe({});
        if (log)
            std::fclose(log);
        if (const char *path = std::getenv("KESTRANE_SIM_FLASH_OUT"))
            for (std::size_t i = 0; i < boards.size(); ++i)
                write_flash(*boards[i], i == 0 ? std::string(path) : path + ("." + std::to_string(i + 1)));
    }

    void attach(std::uint16_t product_id)
    {
        hidsim::Device &device = hidsim::attach(0x10C4, product_id);
        if (!flash_in.empty())
            std::copy(flash_in.begin(), flash_in.begin() + std::min(flash_in.size(), device.model.flash().size()),
                      device.model.flash().begin());
        boards.push_back(&device);
    }

    // Attached before the log opens, so its writes are logged once it is.
    void attach_application()
    {
        const char *application = std::getenv("KESTRANE_SIM_APP");
        unsigned vendor_id = 0, product_id = 0;
        char report[160] = "";
        if (!application || std::sscanf(application, "%x:%x:%159s", &vendor_id, &product_id, report) != 3)
            return;
        hidsim::Device &device =
            hidsim::attach(static_cast<std::uint16_t>(vendor_id), static_cast<std::uint16_t>(product_id));
        device.on_write = [this, &device, expected = std::string(report)](const unsigned char *data,
                                                                           std::size_t length) {
            std::string written;
            for (std::size_t i = 0; i < length; ++i) {
                char hex[3];
                std::snprintf(hex, sizeof hex, "%02X", data[i]);
                written += hex;
            }
            if (log) {
                std::fprintf(log, "write %s\n", written.c_str());
                std::fflush(log);
            }
            if (strcasecmp(written.c_str(), expected.c_str()) == 0) {
                hidsim::detach(device);
                attach(0xEAC9);
            }
            return static_cast<int>(length);
        };
    }

    void read_flash_in()
    {
        if (const char *path = std::getenv("KESTRANE_SIM_FLASH_IN")) {
            std::ifstream in(path, std::ios::binary);
            flash_in.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
    }

    void inject_faults()
    {
        if (boards.empty())
            return;
        unsigned index = 0, code = 0;
        if (const char *answer = std::getenv("KESTRANE_SIM_ANSWER"))
            if (std::sscanf(answer, "%u:%x", &index, &code) == 2)
                boards[0]->model.answer_command_with(index, static_cast<std::uint8_t>(code));
        if (const char *vanish = std::getenv("KESTRANE_SIM_VANISH"))
            boards[0]->model.vanish_after_command(std::strtoul(vanish, nullptr, 10));
        if (const char *dropped = std::getenv("KESTRANE_SIM_DROP"))
            drop = std::strtoul(dropped, nullptr, 10);
    }

    void open_log()
    {
        const char *path = std::getenv("KESTRANE_SIM_LOG");
        if (path && !(log = std::fopen(path, "a")))
            std::perror(path);
    }

    // Each command is one send, so the drop counts sends from the open.
    // Called with the bus held, before the opener sends anything.
    void observe()
    {
        hidsim::observe([this](const char *event) {
            if (log) {
                std::fprintf(log, "%s\n", event);
                std::fflush(log);
            }
            hidsim::Device *first = boards.empty() ? nullptr : boards[0];
            if (drop != hidsim::NEVER && first && std::strcmp(event, "open") == 0 && first->opens != opens_seen) {
                opens_seen = first->opens;
                first->fail_send = first->sends + drop;
            }
        });
    }

    // The reader lives as long as the process; it is never joined. Opened
    // for writing too, the FIFO never reads as ended between writers.
    void listen_for_commands()
    {
        const char *path = std::getenv("KESTRANE_SIM_CONTROL");
        if (!path)
            return;
        std::thread([this, fifo = std::string(path)] {
            std::ifstream commands(fifo, std::ios::in | std::ios::out);
            for (std::string line; std::getline(commands, line);)
                obey(line);
        }).detach();
    }

    void obey(const std::string &line)
    {
        std::istringstream words(line);
        std::string verb, argument;
        words >> verb >> argument;
        if (verb == "attach") {
            attach(argument.empty() ? 0xEAC9 : static_cast<std::uint16_t>(std::strtoul(argument.c_str(), nullptr, 16)));
            return;
        }
        const std::size_t board = std::strtoul(argument.c_str(), nullptr, 10);
        if (board < 1 || board > boards.size())
            return;
        if (verb == "detach")
            hidsim::detach(*boards[board - 1]);
        else if (verb == "return")
            boards[board - 1]->model.reset_into_bootloader();
    }

    void write_flash(const hidsim::Device &device, const std::string &path)
    {
        std::FILE *out = std::fopen(path.c_str(), "wb");
        if (!out) {
            std::perror(path.c_str());
            return;
        }
        const auto &flash = device.model.flash();
        std::fwrite(flash.data(), 1, flash.size(), out);
        std::fclose(out);
        write_state(device.model, path + ".state");
        write_frames(device.model, path + ".frames");
    }

    // What the board was sent, for tests that check which commands went out.
    static void write_frames(const efm8sim::Bootloader &model, const std::string &path)
    {
        std::FILE *out = std::fopen(path.c_str(), "w");
        if (!out) {
            std::perror(path.c_str());
            return;
        }
        for (const std::vector<std::uint8_t> &frame : model.frames()) {
            for (std::uint8_t byte : frame)
                std::fprintf(out, "%02X", byte);
            std::fputc('\n', out);
        }
        std::fclose(out);
    }

    // What the flash file does not hold: the bytes may lie above the code
    // flash, and leaving the bootloader shows on the bus only.
    static void write_state(const efm8sim::Bootloader &model, const std::string &path)
    {
        std::FILE *out = std::fopen(path.c_str(), "w");
        if (!out) {
            std::perror(path.c_str());
            return;
        }
        std::fprintf(out, "lock %02X\nsignature %02X\nmode %s\n", model.lock_byte(), model.signature_byte(),
                     model.on_bus() ? "bootloader" : "application");
        std::fclose(out);
    }
};

Demo demo;

}  // namespace
