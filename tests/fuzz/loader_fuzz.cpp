// libFuzzer target for the firmware loader and writers: whatever the bytes,
// parsing ends with an image that fits its limit or with a reason; an image
// that loads is written in every format, with options drawn from the bytes,
// and reads back the same; nothing crashes, leaks, hangs or ends the
// process. Also built without libFuzzer to replay the corpus in every test
// run (replay.cpp).
#include "firmware/firmware.h"
#include "firmware/firmware_writer.h"

#include <algorithm>
#include <cstdlib>

static void check(bool holds)
{
    if (!holds)
        std::abort();
}

// Only a raw binary that would read back as another format is refused.
static void write_and_read_back(const firmware::Image &image, const firmware::BootRecordOptions &options,
                                firmware::Format format)
{
    std::vector<uint8_t> file;
    const firmware::Outcome written = firmware::encode(image.bytes, format, options, file);
    if (!written.ok()) {
        check(format == firmware::Format::Binary &&
              firmware::format_of(image.bytes.data(), image.bytes.size()) != firmware::Format::Binary);
        return;
    }
    firmware::Image back;
    check(firmware::parse(file.data(), file.size(), firmware::ADDRESS_SPACE, back).ok());
    check(back.format == format && back.bytes == image.bytes);
    if (format != firmware::Format::BootRecords)
        return;
    check(back.ids == options.ids && back.runs == options.run && back.checks.size() == (options.verify ? 1u : 0u));
    check(back.lock.has_value() == image.lock.has_value());
    check(!back.lock || back.lock->lock == image.lock->lock);
}

static void round_trip(const firmware::Image &image, const uint8_t *data, size_t size)
{
    firmware::BootRecordOptions options;
    options.ids = image.ids;
    if (image.lock)
        options.lock_pages = static_cast<uint8_t>(~image.lock->lock);
    options.verify = !image.checks.empty();
    options.run = image.runs;
    options.write_size = 1 + data[size / 2] % EFM8_WRITE_MAX;
    options.erase_without_data = data[size - 1] & 1;
    for (firmware::Format format : {firmware::Format::BootRecords, firmware::Format::IntelHex,
                                    firmware::Format::SRecord, firmware::Format::Binary})
        write_and_read_back(image, options, format);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Both limits the front ends use: the EFM8UB1's area and the whole space.
    const uint32_t limit = size % 2 ? 14848 : firmware::ADDRESS_SPACE;
    firmware::Image image;
    const firmware::Outcome outcome = firmware::parse(data, size, limit, image);
    if (outcome.ok()) {
        check(!image.bytes.empty() && image.bytes.size() <= limit);
        const bool raw = image.format == firmware::Format::Binary;
        check(!raw || (image.bytes.size() == size && std::equal(data, data + size, image.bytes.begin())));
        round_trip(image, data, size);
    } else {
        check(!outcome.message.empty() && image.bytes.empty());
    }
    return 0;
}
