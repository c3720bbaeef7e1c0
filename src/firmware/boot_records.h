// Boot-record files (.efm8): the bootloader's own records, '$', a length N,
// the command and N-1 bytes of payload, back to back to the end of the file
// with nothing around them. Reading one gives the image its erases and
// writes leave in a 64 KB space of 0xFF, with its identify ids, verify
// checks, lock and run; writing one lays an image out in the safe order.
#ifndef KESTRANE_BOOT_RECORDS_H
#define KESTRANE_BOOT_RECORDS_H

#include "firmware/image.h"
#include "protocol/protocol.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace firmware {

// The flash an erase wipes: the page size of the families the ids name when
// they share one (1024 bytes for the EFM8SB2), else the usual 512, as with
// no ids.
std::uint32_t page_size_for(const std::vector<std::uint16_t> &ids);

// Reads a file that starts with '$'. Errors name the record, counted from
// 1, and the offset of its '$'. What the loader makes of what the
// bootloader's documents leave open:
// - a record that does not start with '$', has no command, runs past the end
//   of the file, has an unknown command or a payload of the wrong length is
//   an error, and so is any record after run application: the chip has left
//   its bootloader by then;
// - identify records may stand anywhere; their ids are kept in order, and
//   Kestrane checks them before it erases anything;
// - setup must carry the flash keys; a bank other than 0 (the EFM8SB2's
//   scratchpad) is Problem::Unsupported;
// - an erase's data must stay inside its page, as the bootloader demands,
//   and an erase must not wipe bytes an earlier record wrote: what such a
//   file leaves would depend on the page size of the part it meets;
// - two records that give a byte different values are an error, as in HEX;
// - a write without data writes nothing, as on the chip;
// - an erase alone adds nothing to the image, which runs to the highest byte
//   written: Kestrane erases every page the image spans anyway;
// - several lock records combine as the flash does, each 0 bit clearing;
// - verify records are a checksum of the file: each must hold for the image,
//   bytes the file does not write taken as erased, or the file is refused as
//   corrupt; they are kept, to be checked on the chip too;
// - a file that writes no data is an error.
Outcome parse_boot_records(const std::uint8_t *content, std::size_t size, std::uint32_t limit, Image &image);

struct BootRecordOptions {
    std::vector<std::uint16_t> ids;          // one identify record each, in order; none: any part
    std::optional<std::uint8_t> lock_pages;  // a lock record locking pages 0 to N-1, the signature kept
    bool verify = false;                     // one verify record over the whole image
    bool run = true;                         // end by starting the application
    std::uint32_t write_size = EFM8_WRITE_MAX;  // data bytes an erase or write carries, 1 to 128
    // Every erase without data, for hosts that must not stall while a page
    // is erased; its first chunk then goes in a write of its own.
    bool erase_without_data = false;
};

// The image (bytes from address 0) as boot records: identify records,
// setup with bank 0, page 0 erased first, then each page erased with its
// first chunk and written in chunks that never cross it, blank chunks
// skipped, the chunk at address 0 written last; then verify, lock and run
// application as the options ask. The chunk that holds the image's last byte
// is written even when blank, so the file reads back to the same image.
Outcome write_boot_records(const std::vector<std::uint8_t> &bytes, const BootRecordOptions &options,
                           std::vector<std::uint8_t> &content);

// "data at 0x3A00 lies beyond the 14848-byte application area": alike for
// every format.
std::string lies_beyond(std::uint32_t address, std::uint32_t limit);

}  // namespace firmware

#endif
