// What the record readers cannot say in the loader's words, checked on a
// text file's lines (text.h) before they are read. Private to the loader.
#ifndef KESTRANE_RECORD_CHECKS_H
#define KESTRANE_RECORD_CHECKS_H

#include "firmware/image.h"

#include <cstdint>
#include <vector>

namespace firmware {

// Intel HEX: a line after the end-of-file record that holds anything but
// another end-of-file record, which SRecord drops unread.
Outcome check_after_end(const std::vector<std::uint8_t> &lines);

// S-records: an S5 or S6 record whose count is not the number of data
// records before it; and S1 records that carry 24-bit addresses, as SDCC
// 4.2's --out-fmt-s19 writes them, which read as 16-bit ones would put the
// image's bytes in the wrong places.
Outcome check_srecords(const std::vector<std::uint8_t> &lines);

// Intel HEX or S-records as asked (--format hex or srec): the first line
// that holds anything and is not that kind of record, named.
Outcome check_kind(const std::vector<std::uint8_t> &lines, Format asked);

}  // namespace firmware

#endif
