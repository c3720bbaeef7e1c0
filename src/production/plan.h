// What a flash or a lock asks of each board beyond writing the image,
// settled from what is asked and the file before any board is opened, and
// kept with each board's outcome for its report.
#ifndef KESTRANE_PRODUCTION_PLAN_H
#define KESTRANE_PRODUCTION_PLAN_H

#include "production/firmware_file.h"
#include "production/settings.h"
#include <kestrane/engine.h>
#include "firmware/image.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace production {

// The bytes the lock command programs, each 0 bit clearing that bit of the
// chip's byte for good, and who asked for them.
struct LockPlan {
    firmware::Lock bytes;
    bool from_file = false;     // a boot-record file's lock record
    bool from_options = false;  // a lock request (--lock-pages, --disable-bootloader)
};

struct Plan {
    bool verify = false;
    bool delta = false;
    bool run = false;
    // The image leaves byte 0 erased (it has no data at address 0), so a
    // chip stays in its bootloader whatever starts it.
    bool blank_start = false;
    std::vector<efm8_check> checks;  // a boot-record file's verify records
    std::optional<LockPlan> lock;
    // What each board's flash asks of the library, which adds the file's
    // own (efm8_flash_image): the request's lock and consent.
    efm8_options asked = EFM8_OPTIONS_INIT;
};

// flash, watch and convert: what is asked, and what a boot-record file asks
// (its verify records, its lock, whether it starts the application), as the
// library settles them. Returns EFM8_OK, or EFM8_ERR_OPTIONS with the reason
// in error when the file's lock could not be programmed as it asks:
// unverified, or disabling the bootloader without --force.
int32_t plan_flash(const FlashRequest &request, const Firmware &firmware, Plan &plan, std::string &error);

// The lock command: what is asked.
Plan plan_lock(const LockRequest &request);

// A file's lock and the one asked together, as the chip's flash combines
// them: bit by bit. Nothing when neither asks for one.
std::optional<LockPlan> combine_lock(const std::optional<firmware::Lock> &file, const LockRequest &request);

// "fw.efm8's lock record (lock byte 0xFC: pages 0 to 2) and --lock-pages 5
// (0xFA) combine bit by bit, as the chip's flash does: lock byte 0xF8, pages
// 0 to 6"; empty unless both lock pages.
std::string combined_lock_note(const std::string &file, const std::optional<firmware::Lock> &file_lock,
                               const LockRequest &request, const LockPlan &lock);

// Why a boot-record file for the parts with these ids cannot hold the
// image, or "": "the image is 14849 bytes, larger than
// EFM8UB10F16G-QFN20's application area of 14848 bytes (0x0000-0x39FF)".
std::string too_large_for_parts(const std::vector<std::uint16_t> &ids, const firmware::Image &image);

// "0xFC".
std::string hex_byte(std::uint8_t byte);
// How many pages from page 0 a lock byte locks: its ones' complement.
unsigned pages_locked_by(std::uint8_t lock_byte);
// "no page", "page 0", "pages 0 to 6", "every page".
std::string pages_text(std::uint8_t lock_byte);
// The bootloader stays only while its signature byte holds 0xA5 (the
// library's rule).
bool disables_bootloader(std::uint8_t signature);
bool bootloader_enabled(std::uint8_t signature);

}  // namespace production

#endif
