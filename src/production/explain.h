// Why a board failed, in words that say what to do about it: the engine's
// report, read as a USB board's or a serial port's.
#ifndef KESTRANE_PRODUCTION_EXPLAIN_H
#define KESTRANE_PRODUCTION_EXPLAIN_H

#include <kestrane/engine.h>
#include <kestrane/entry.h>

#include <string>

namespace production {

std::string explain(const efm8_report &report);

// Why a board brought into its bootloader by entry failed, where entry is
// the likely cause: no answer to the first command after the entry
// sequence or the enter command. "" otherwise.
std::string explain_entry(const efm8_report &report, const efm8_entry &entry);

// Why a path is not a serial port, with the ports there are.
std::string not_a_port();

}  // namespace production

#endif
