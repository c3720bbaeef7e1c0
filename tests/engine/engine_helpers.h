// What the engine's tests share: sessions on the hidapi stand-in's board,
// the frames a board received, and what a flash should leave.
#ifndef KESTRANE_TESTS_ENGINE_HELPERS_H
#define KESTRANE_TESTS_ENGINE_HELPERS_H

#include <kestrane/engine.h>

#include "hidsim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace enginetest {

using Bytes = std::vector<uint8_t>;

const uint32_t UB1_AREA = 14848;  // 29 pages of 512 bytes
const uint32_t PAGE = 512;

class Engine : public ::testing::Test {
protected:
    void SetUp() override { hidsim::reset(); }
    void TearDown() override
    {
        EXPECT_EQ(hidsim::counters().open_handles, 0) << "a handle was left open";
        EXPECT_EQ(hidsim::counters().live_list_entries, 0) << "an enumeration was not freed";
        hidsim::reset();
    }
};

// Opens the only board, runs one call on it, and closes it.
template <typename Call>
int32_t with_session(Call call)
{
    efm8_session *session = nullptr;
    const int32_t opened = efm8_open(nullptr, &session);
    if (opened != EFM8_OK)
        return opened;
    const int32_t result = call(session);
    efm8_close(session);
    return result;
}

inline int32_t flash(const Bytes &image, const efm8_options *options, efm8_report *report = nullptr)
{
    return with_session([&](efm8_session *s) {
        return efm8_flash(s, image.data(), uint32_t(image.size()), options, report);
    });
}

inline efm8_options defaults()
{
    efm8_options options;
    efm8_default_options(&options);
    return options;
}

// What the window's full sequence leaves: the image, then 0xFF to the end
// of its last page, the rest of the flash as it was.
inline Bytes full_sequence_result(Bytes flash, const Bytes &image)
{
    const size_t span = (image.size() + PAGE - 1) / PAGE * PAGE;
    std::fill(flash.begin(), flash.begin() + span, 0xFF);
    std::copy(image.begin(), image.end(), flash.begin());
    return flash;
}

struct Frame {
    uint8_t command;
    uint32_t address;
    Bytes data;
};

inline Frame parse(const Bytes &raw)
{
    return {raw[2], uint32_t(raw[3] << 8 | raw[4]), Bytes(raw.begin() + 5, raw.end())};
}

inline bool carries_data(const Frame &f)
{
    return f.command == EFM8_CMD_ERASE || f.command == EFM8_CMD_WRITE;
}

// A verify record's range and CRC: its address is the start, then the end
// and the CRC, high bytes first.
struct Check {
    uint32_t start, end;
    uint16_t crc;
};

inline Check check_of(const Frame &f)
{
    return {f.address, uint32_t(f.data.at(0) << 8 | f.data.at(1)), uint16_t(f.data.at(2) << 8 | f.data.at(3))};
}

// The CRC the chip computes over its flash from start to end when it holds
// the image, then 0xFF.
inline uint16_t image_crc(const Bytes &image, uint32_t start, uint32_t end)
{
    uint16_t crc = 0;
    for (uint32_t address = start; address <= end; ++address)
        crc = efm8sim::crc16_xmodem_update(crc, address < image.size() ? image[address] : 0xFF);
    return crc;
}

inline const efm8_part &part_with_id(uint16_t id)
{
    size_t count;
    const efm8_part *parts = efm8_parts(&count);
    return *std::find_if(parts, parts + count, [id](const efm8_part &part) { return part.id == id; });
}

}  // namespace enginetest

#endif
