// What the build writes from the option tables (manual.cpp).
#ifndef KESTRANE_CLI_MANUAL_H
#define KESTRANE_CLI_MANUAL_H

#include <istream>
#include <ostream>

namespace cli {

// Copies a hand-written source to out with the tables written in: the line
// `.\" @synopsis@` becomes every command's synopsis in roff, the line
// `# @options@` each command's case of flags for the bash completion,
// @COMMANDS@ the commands' names and @VERSION@ the version. False when it
// could not read or write.
bool fill_in(std::istream &in, std::ostream &out);

}  // namespace cli

#endif
