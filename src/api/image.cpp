// The exported calls of kestrane/image.h: a firmware file into an image,
// and the image flashed as its file asks (api/rules.h).
#include <kestrane/image.h>

#include "api/guard.h"
#include "api/rules.h"
#include "api/sized.h"
#include "engine/calls.h"
#include "firmware/firmware.h"

#include <string.h>

#include <string>
#include <vector>

static int32_t make(const uint8_t *content, size_t count, const std::string &name, efm8_image **image, char *message,
                    size_t size)
{
    firmware::Image parsed;
    const firmware::Outcome outcome = firmware::parse(content, count, firmware::ADDRESS_SPACE, parsed);
    if (!outcome.ok()) {
        api::tell(message, size, name + ": " + outcome.message);
        return EFM8_ERR_BAD_IMAGE;
    }
    *image = api::make_image(std::move(parsed), name);
    api::tell(message, size, "");
    return EFM8_OK;
}

// A file into an image: the argument that may not be NULL and is (missing)
// refused, and whatever the loader throws said in the caller's message as
// well as the report.
template <typename Body>
static int32_t loading(const char *call, efm8_image **image, const char *missing, char *message, size_t size,
                       Body body)
{
    if (image != nullptr)
        *image = nullptr;
    if (missing != nullptr) {
        api::tell(message, size, std::string(call) + ": " + missing);
        return api::refuse_argument(call, missing, nullptr);
    }
    std::exception_ptr caught;
    try {
        return body();
    } catch (const std::bad_alloc &) {
        api::tell(message, size, std::string(call) + ": out of memory");
        caught = std::current_exception();
    } catch (...) {
        api::tell(message, size, std::string(call) + ": an unexpected failure");
        caught = std::current_exception();
    }
    return api::refuse_exception(call, caught, nullptr);
}

int32_t efm8_image_load(const char *path, efm8_image **image, char *message, size_t size)
{
    const char *missing = path == nullptr ? "path is NULL" : image == nullptr ? "image is NULL" : nullptr;
    return loading("efm8_image_load", image, missing, message, size, [&] {
        std::vector<uint8_t> content;
        const firmware::Outcome read = firmware::read_file(path, content);
        if (!read.ok()) {
            api::tell(message, size, read.message);
            return int32_t{EFM8_ERR_UNREADABLE};
        }
        return make(content.data(), content.size(), strcmp(path, "-") == 0 ? "standard input" : path, image,
                    message, size);
    });
}

int32_t efm8_image_parse(const uint8_t *content, size_t count, const char *name, efm8_image **image, char *message,
                         size_t size)
{
    const char *missing = image == nullptr                      ? "image is NULL"
                          : content == nullptr && count > 0 ? "content is NULL"
                                                               : nullptr;
    return loading("efm8_image_parse", image, missing, message, size, [&] {
        static const uint8_t none = 0;
        return make(content != nullptr ? content : &none, count, name != nullptr ? name : "image", image, message,
                    size);
    });
}

void efm8_image_free(efm8_image *image)
{
    delete image;
}

enum efm8_format efm8_image_format(const efm8_image *image)
{
    if (image == nullptr)
        return (enum efm8_format)0;
    switch (image->image.format) {
    case firmware::Format::IntelHex: return EFM8_FORMAT_INTEL_HEX;
    case firmware::Format::SRecord: return EFM8_FORMAT_SRECORD;
    case firmware::Format::BootRecords: return EFM8_FORMAT_BOOT_RECORDS;
    case firmware::Format::Binary: break;
    }
    return EFM8_FORMAT_BINARY;
}

// A count out, where the caller wants one.
template <typename Count>
static void count_out(Count *count, size_t value)
{
    if (count != nullptr)
        *count = static_cast<Count>(value);
}

const uint8_t *efm8_image_bytes(const efm8_image *image, uint32_t *count)
{
    count_out(count, image != nullptr ? image->image.bytes.size() : 0);
    return image != nullptr ? image->image.bytes.data() : nullptr;
}

const uint16_t *efm8_image_ids(const efm8_image *image, size_t *count)
{
    count_out(count, image != nullptr ? image->image.ids.size() : 0);
    return image != nullptr ? image->image.ids.data() : nullptr;
}

const struct efm8_check *efm8_image_checks(const efm8_image *image, size_t *count)
{
    count_out(count, image != nullptr ? image->checks.size() : 0);
    return image != nullptr ? image->checks.data() : nullptr;
}

int efm8_image_lock(const efm8_image *image, uint8_t *signature, uint8_t *lock)
{
    const bool asked = image != nullptr && image->image.lock.has_value();
    if (signature != nullptr)
        *signature = asked ? image->image.lock->signature : EFM8_ERASED;
    if (lock != nullptr)
        *lock = asked ? image->image.lock->lock : EFM8_ERASED;
    return asked;
}

int efm8_image_runs(const efm8_image *image)
{
    return image != nullptr && (image->image.format != firmware::Format::BootRecords || image->image.runs);
}

int32_t efm8_image_flash_options(const efm8_image *image, const struct efm8_options *options,
                                 struct efm8_options *settled, char *why, size_t why_size)
{
    const char *call = "efm8_image_flash_options";
    if (image == nullptr || settled == nullptr)
        return api::refuse_argument(call, image == nullptr ? "image is NULL" : "settled is NULL", nullptr);
    return api::guarded(call, nullptr, [&] {
        struct efm8_options whole, result;
        std::string words;
        // The caller's settled is a structure set up to be written.
        if (api::options_in(settled, whole, words) != EFM8_OK) {
            api::tell(why, why_size, "settled: " + words);
            return api::refuse_argument(call, ("settled: " + words).c_str(), nullptr);
        }
        int32_t outcome = api::options_in(options, whole, words);
        result = whole;
        if (outcome == EFM8_OK && api::settle_flash(*image, whole, result, words) != api::Refusal::None)
            outcome = EFM8_ERR_OPTIONS;
        api::tell(why, why_size, words);
        const uint32_t size = settled->size;
        memcpy(settled, &result, size);
        settled->size = size;
        return outcome;
    });
}

// A file meant for some parts held against the board: EFM8_OK, or why not.
static int32_t check_parts(efm8_session *session, const efm8_image &image, struct efm8_report *report)
{
    const std::vector<uint16_t> &ids = image.image.ids;
    return ids.empty() ? EFM8_OK : engine::check_ids(session, ids.data(), ids.size(), report);
}

// The parts first, then the flash as settled, the file's checks after the
// options' own.
int32_t efm8_flash_image(efm8_session *session, const efm8_image *image, const struct efm8_options *options,
                         struct efm8_report *report)
{
    const char *call = "efm8_flash_image";
    if (image == nullptr)
        return api::refuse_argument(call, "image is NULL", report);
    return api::on_session(call, session, report, [&] {
        struct efm8_options whole, settled;
        std::string why;
        if (api::options_in(options, whole, why) != EFM8_OK ||
            api::settle_flash(*image, whole, settled, why) != api::Refusal::None)
            return api::refuse_options(call, session->device.interface, why, report);
        std::vector<efm8_check> checks(whole.checks, whole.checks + whole.check_count);
        checks.insert(checks.end(), image->checks.begin(), image->checks.end());
        settled.checks = checks.data();
        settled.check_count = checks.size();
        const int32_t fits = check_parts(session, *image, report);
        if (fits != EFM8_OK)
            return fits;
        const std::vector<uint8_t> &bytes = image->image.bytes;
        return engine::flash(session, bytes.data(), static_cast<uint32_t>(bytes.size()), settled, report);
    });
}

int32_t efm8_verify_image(efm8_session *session, const efm8_image *image, struct efm8_report *report)
{
    const char *call = "efm8_verify_image";
    if (image == nullptr)
        return api::refuse_argument(call, "image is NULL", report);
    return api::on_session(call, session, report, [&] {
        const int32_t fits = check_parts(session, *image, report);
        if (fits != EFM8_OK)
            return fits;
        const std::vector<uint8_t> &bytes = image->image.bytes;
        return engine::verify(session, bytes.data(), static_cast<uint32_t>(bytes.size()), report);
    });
}
