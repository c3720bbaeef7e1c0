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
// vertical tabs, form feeds and DOS end-of-file marks old tools leave) and,
// beyond ASCII, UTF-8 or else Latin-1 or Windows-1252, after a UTF-8
// byte-order mark or none; or, after a UTF-16 byte-order mark, any such
// text in UTF-16. NUL and DOS end-of-file padding after the last line is no
// part of it. If it is, lines gets its text one byte a character (Latin-1
// as it is, '?' beyond it), the mark left out, CRLF and a lone CR made LF,
// and each line without the blanks and end-of-file marks around it, so that
// line numbers stay.
bool text_lines(const std::uint8_t *content, std::size_t size, std::vector<std::uint8_t> &lines);

// Whether a line is an Intel HEX record or an S-record whose length and
// checksum hold.
bool well_formed_record(const std::uint8_t *line, std::size_t size);

// Any file's lines as text_lines makes them, bytes as they are.
std::vector<std::uint8_t> any_lines(const std::uint8_t *content, std::size_t size);

// A file that is not all text but whose first line that holds anything is a
// well-formed record is records all the same (a line of binary junk among
// them is refused, not flashed): its lines as text_lines makes them, bytes as
// they are.
bool record_lines(const std::uint8_t *content, std::size_t size, std::vector<std::uint8_t> &lines);

// The number of the first line that holds a byte no text holds, 0 if none.
std::size_t first_line_not_text(const std::vector<std::uint8_t> &lines);

}  // namespace firmware

#endif
