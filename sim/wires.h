// The wires between the stand-ins for a host's lines (sim/modem_seam.cpp
// for a pseudo-terminal's RTS and DTR, sim/gpiod_sim.cpp for libgpiod) and
// the simulated boards of uart_sim: each change of a line's level goes to
// uart_sim's socket, $KESTRANE_SIM_WIRES, as one line of text, and the
// change returns once the boards have taken it. So a board is out of reset
// before the byte the host sends next reaches it. No socket: the line is
// wired to nothing.
#ifndef EFM8SIM_WIRES_H
#define EFM8SIM_WIRES_H

#include <cstdint>
#include <string>

namespace wires {

// Monotonic nanoseconds, as every stamp on the wires is taken.
std::int64_t now_ns();

// "rts /dev/pts/4 0 STAMP", "gpio gpiochip0:17 1 STAMP": kind, where, the
// pin's level (0 low, 1 high) and when it changed.
void report(const std::string &kind, const std::string &where, int level, std::int64_t stamp);

// Reads a message back: false when it is none.
bool parse(const std::string &message, std::string &kind, std::string &where, int &level, std::int64_t &stamp);

}  // namespace wires

#endif
