// "Flash the image as its file asks", written once: the C API, Python and
// kestrane-cli all flash through these. A front end that places bytes of
// its own into an image (a serial number) makes an image of its own here.
#ifndef KESTRANE_API_RULES_H
#define KESTRANE_API_RULES_H

#include <kestrane/image.h>

#include "firmware/image.h"

#include <optional>
#include <string>
#include <vector>

// An image as the library holds it: never changed once made.
struct efm8_image {
    firmware::Image image;
    std::vector<efm8_check> checks;  // the file's verify records as the engine takes them
    std::string name;                // for the words of a refusal
};

namespace api {

// A new image of these contents; throws std::bad_alloc.
efm8_image *make_image(firmware::Image image, std::string name);

// The bootloader stays only while its signature byte holds 0xA5.
bool disables_bootloader(uint8_t signature);
bool bootloader_enabled(uint8_t signature);

// A file's lock and one asked for combine bit by bit, as the chip's flash
// combines them (a byte of 0xFF changes nothing); nothing when neither asks.
std::optional<firmware::Lock> combine_lock(const std::optional<firmware::Lock> &file,
                                           const std::optional<firmware::Lock> &asked);

// The first of the parts with these ids (DEVICEID << 8 | DERIVID) whose
// application area cannot hold an image of count bytes, or NULL; ids the
// part table lacks are not judged.
const efm8_part *part_too_small(const std::vector<uint16_t> &ids, uint32_t count);

// A chip enters its bootloader rather than the application while its
// flash byte 0 is 0xFF: an image with no data at address 0 never starts.
bool starts_application(const firmware::Image &image);

// Why a flash would be refused, before any board.
enum class Refusal { None, LockUnverified, DisablesBootloader };

// The options asked, settled with what the image's file asks: the locks
// combined, run cleared for a file that does not start the application.
// Refusal::None, or why efm8_flash_image refuses (in words too).
Refusal settle_flash(const efm8_image &image, const efm8_options &asked, efm8_options &settled, std::string &why);

}  // namespace api

#endif
