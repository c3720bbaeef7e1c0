// libFuzzer target for the firmware loader: whatever the bytes, parsing ends
// with an image that fits its limit or with a reason, and nothing crashes,
// leaks, hangs or ends the process. Also built without libFuzzer to replay
// the corpus in every test run (replay.cpp).
#include "firmware.h"

#include <algorithm>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Both limits the front ends use: the EFM8UB1's area and the whole space.
    const uint32_t limit = size % 2 ? 14848 : firmware::ADDRESS_SPACE;
    firmware::Image image;
    const firmware::Outcome outcome = firmware::parse(data, size, limit, image);
    if (outcome.ok()) {
        if (image.bytes.empty() || image.bytes.size() > limit)
            std::abort();
        const bool raw = image.format == firmware::Format::Binary;
        if (raw && (image.bytes.size() != size || !std::equal(data, data + size, image.bytes.begin())))
            std::abort();
    } else if (outcome.message.empty() || !image.bytes.empty()) {
        std::abort();
    }
    return 0;
}
