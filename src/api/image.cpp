// The loader behind the C API: a firmware file into an image, and the image
// flashed as its file asks.
#include <kestrane/image.h>

#include "engine/session.h"
#include "engine/sized.h"
#include "firmware/firmware.h"

#include <stdio.h>
#include <string.h>

#include <new>
#include <optional>
#include <string>
#include <vector>

struct efm8_image {
    firmware::Image image;
    std::vector<efm8_check> checks;
};

namespace {

const uint8_t SIGNATURE_KEPT = 0xA5;  // the signature byte while the bootloader stays
const uint8_t LEAVE_AS_IS = 0xFF;     // a lock command's byte that changes nothing

void tell(const std::string &text, char *message, size_t size)
{
    if (message != nullptr && size > 0)
        snprintf(message, size, "%s", text.c_str());
}

int32_t make_image(const std::vector<uint8_t> &content, const std::string &name, efm8_image **image, char *message,
                   size_t size)
{
    efm8_image *made = new (std::nothrow) efm8_image;
    if (made == nullptr) {
        tell(name + ": out of memory", message, size);
        return EFM8_ERR_UNREADABLE;
    }
    const firmware::Outcome parsed =
        firmware::parse(content.data(), content.size(), firmware::ADDRESS_SPACE, made->image);
    if (!parsed.ok()) {
        delete made;
        tell(name + ": " + parsed.message, message, size);
        return EFM8_ERR_BAD_IMAGE;
    }
    for (const firmware::Check &check : made->image.checks)
        made->checks.push_back({check.start, check.end, check.crc});
    *image = made;
    tell("", message, size);
    return EFM8_OK;
}

}  // namespace

int32_t efm8_image_load(const char *path, efm8_image **image, char *message, size_t size)
{
    *image = nullptr;
    std::vector<uint8_t> content;
    try {
        const firmware::Outcome read = firmware::read_file(path, content);
        if (!read.ok()) {
            tell(read.message, message, size);
            return EFM8_ERR_UNREADABLE;
        }
        return make_image(content, strcmp(path, "-") == 0 ? "standard input" : path, image, message, size);
    } catch (const std::bad_alloc &) {
        tell(std::string(path) + ": out of memory", message, size);
        return EFM8_ERR_UNREADABLE;
    }
}

int32_t efm8_image_parse(const uint8_t *content, size_t count, const char *name, efm8_image **image, char *message,
                         size_t size)
{
    *image = nullptr;
    try {
        return make_image(std::vector<uint8_t>(content, content + count), name != nullptr ? name : "image", image,
                          message, size);
    } catch (const std::bad_alloc &) {
        tell("out of memory", message, size);
        return EFM8_ERR_UNREADABLE;
    }
}

void efm8_image_free(efm8_image *image)
{
    delete image;
}

enum efm8_format efm8_image_format(const efm8_image *image)
{
    switch (image->image.format) {
    case firmware::Format::IntelHex: return EFM8_FORMAT_INTEL_HEX;
    case firmware::Format::SRecord: return EFM8_FORMAT_SRECORD;
    case firmware::Format::BootRecords: return EFM8_FORMAT_BOOT_RECORDS;
    case firmware::Format::Binary: break;
    }
    return EFM8_FORMAT_BINARY;
}

const uint8_t *efm8_image_bytes(const efm8_image *image, uint32_t *count)
{
    *count = static_cast<uint32_t>(image->image.bytes.size());
    return image->image.bytes.data();
}

const uint16_t *efm8_image_ids(const efm8_image *image, size_t *count)
{
    *count = image->image.ids.size();
    return image->image.ids.data();
}

const struct efm8_check *efm8_image_checks(const efm8_image *image, size_t *count)
{
    *count = image->checks.size();
    return image->checks.data();
}

int efm8_image_lock(const efm8_image *image, uint8_t *signature, uint8_t *lock)
{
    const std::optional<firmware::Lock> &asked = image->image.lock;
    *signature = asked ? asked->signature : LEAVE_AS_IS;
    *lock = asked ? asked->lock : LEAVE_AS_IS;
    return asked.has_value();
}

int efm8_image_runs(const efm8_image *image)
{
    return image->image.format != firmware::Format::BootRecords || image->image.runs;
}

static int32_t check_parts(efm8_session *session, const efm8_image *image, struct efm8_report *report)
{
    const std::vector<uint16_t> &ids = image->image.ids;
    return ids.empty() ? EFM8_OK : efm8_check_ids(session, ids.data(), ids.size(), report);
}

// Refused before anything is sent, with the report and the thread's last
// failure saying so as for any call.
static int32_t refuse(efm8_session *session, int32_t result, struct efm8_report *report)
{
    session_begin(session, report);
    return session_finish(session, result);
}

int32_t efm8_flash_image(efm8_session *session, const efm8_image *image, const struct efm8_options *options,
                         struct efm8_report *report)
{
    struct efm8_options asked;
    if (options_in(options, &asked) != EFM8_OK)
        return refuse(session, EFM8_ERR_OPTIONS, report);
    uint8_t signature, lock;
    if (efm8_image_lock(image, &signature, &lock)) {
        const bool disables = (signature & SIGNATURE_KEPT) != SIGNATURE_KEPT;
        const bool also_asked = asked.lock && (asked.lock_signature | signature) == signature;
        if (disables && !also_asked)
            return refuse(session, EFM8_ERR_OPTIONS, report);
        asked.lock_signature = asked.lock ? asked.lock_signature & signature : signature;
        asked.lock_byte = asked.lock ? asked.lock_byte & lock : lock;
        asked.lock = 1;
    }
    asked.run = asked.run && efm8_image_runs(image);
    std::vector<efm8_check> checks;
    try {
        checks.assign(asked.checks, asked.checks + asked.check_count);
        checks.insert(checks.end(), image->checks.begin(), image->checks.end());
    } catch (const std::bad_alloc &) {
        return refuse(session, EFM8_ERR_OPTIONS, report);
    }
    asked.checks = checks.data();
    asked.check_count = checks.size();
    const int32_t fits = check_parts(session, image, report);
    if (fits != EFM8_OK)
        return fits;
    uint32_t count;
    const uint8_t *bytes = efm8_image_bytes(image, &count);
    return efm8_flash(session, bytes, count, &asked, report);
}

int32_t efm8_verify_image(efm8_session *session, const efm8_image *image, struct efm8_report *report)
{
    const int32_t fits = check_parts(session, image, report);
    if (fits != EFM8_OK)
        return fits;
    uint32_t count;
    const uint8_t *bytes = efm8_image_bytes(image, &count);
    return efm8_verify(session, bytes, count, report);
}
