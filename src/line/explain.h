// Why a board failed, in words that say what to do about it: the engine's
// report, read as a USB board's or a serial port's.
#ifndef KESTRANE_LINE_EXPLAIN_H
#define KESTRANE_LINE_EXPLAIN_H

#include <kestrane/engine.h>

#include <string>

namespace line {

std::string explain(const efm8_report &report);

// Why a path is not a serial port, with the ports there are.
std::string not_a_port();

}  // namespace line

#endif
