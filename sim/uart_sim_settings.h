// uart_sim's command line (see uart_sim.cpp for its options), read into
// settings, and the small parsers the boards' wiring shares.
#ifndef EFM8SIM_UART_SIM_SETTINGS_H
#define EFM8SIM_UART_SIM_SETTINGS_H

#include "bootloader.h"

#include <cstdint>
#include <string>
#include <vector>

struct efm8_part;

namespace uartsim {

// What the options say; -1 and empty where an option was not given.
struct Settings {
    std::string links, flash_in, flash_out, log, control;
    std::string part = "EFM8BB31F64G-QFN32";
    int boards = 1;
    long identity = -1;
    std::string layout;
    std::string answer;
    long silent = -1, hang_up = -1, drop = -1;
    efm8sim::Latency latency;
    bool paced = false;  // --latency given: the line runs at its baud rate too
    bool power_on = false;
    std::string reset_line, boot_line, wires, enter_command;
};

// A chip's pin and the host's line it hangs on.
struct Wire {
    std::string kind;   // "rts", "dtr" or "gpio"; empty: not wired
    std::string where;  // gpio: "CHIP:OFFSET"
    bool inverted = false;
};

// "rts", "dtr:inverted", "gpio:CHIP:OFFSET".
Wire read_wire(std::string text);
// "A5F1..." into its bytes.
std::vector<std::uint8_t> read_hex(const std::string &text);
// The part of the table with this name, or nullptr.
const efm8_part *find_part(const std::string &name);
// Says why on standard error and exits with status 2.
[[noreturn]] void usage(const std::string &why);
Settings read_settings(int argc, char **argv);

}  // namespace uartsim

#endif
