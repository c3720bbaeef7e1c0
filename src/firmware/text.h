// Telling a text file from a raw image. An EFM8's raw image starts with code
// (an LJMP, 0x02, or another 8051 opcode) and is practically never all text,
// so a file that is all text is a HEX or S-record file however an editor
// saved it, and is never flashed as a raw binary. Private to the loader.
#ifndef KESTRANE_TEXT_H
#define KESTRANE_TEXT_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace firmware {

// Whether the file is text: printable ASCII, tabs and line ends (with the
// vertical tabs, form feeds and DOS end-of-file marks old tools leave) and
// UTF-8 beyond ASCII, after a UTF-8 byte-order mark or none; or, after a
// UTF-16 byte-order mark, that ASCII in UTF-16. If it is, lines gets its
// text one byte a character, the mark left out and each line without the
// blanks and end-of-file marks around it, so that line numbers stay.
bool text_lines(const std::uint8_t *content, std::size_t size, std::vector<std::uint8_t> &lines);

}  // namespace firmware

#endif
