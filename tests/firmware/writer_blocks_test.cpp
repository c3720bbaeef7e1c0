// What the HEX and S-record writers leave out: every 32-byte block that is
// all 0xFF, which the loader fills back in, except the one holding the
// image's last byte; so a mostly blank image makes a small file. Read here
// with a reader of the test's own, record by record.
#include "firmware/firmware_writer.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// The addresses each data record of an Intel HEX (":LLAAAA00...") or
// S-record ("S1LLAAAA...") file carries, for files of 16-bit addresses.
std::set<uint32_t> carried(const Bytes &file, firmware::Format format)
{
    std::set<uint32_t> addresses;
    const std::string text(file.begin(), file.end());
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        unsigned count = 0, address = 0, data = 0;
        if (format == firmware::Format::IntelHex && line.size() > 9 && line.compare(7, 2, "00") == 0) {
            count = std::stoul(line.substr(1, 2), nullptr, 16);
            address = std::stoul(line.substr(3, 4), nullptr, 16);
        } else if (format == firmware::Format::SRecord && line.compare(0, 2, "S1") == 0) {
            count = std::stoul(line.substr(2, 2), nullptr, 16) - 3;  // less the address and checksum
            address = std::stoul(line.substr(4, 4), nullptr, 16);
        }
        for (data = 0; data < count; ++data)
            addresses.insert(address + data);
    }
    return addresses;
}

TEST(Writers, HexAndSRecordsLeaveOutEveryBlankBlockButTheLast)
{
    std::mt19937 rng(0xB1A);
    for (int round = 0; round < 60; ++round) {
        Bytes image(1 + rng() % 20000, 0xFF);
        for (int stretches = 1 + rng() % 4; stretches > 0; --stretches) {
            const size_t at = rng() % image.size(), len = std::min<size_t>(1 + rng() % 700, image.size() - at);
            for (size_t i = at; i < at + len; ++i)
                image[i] = uint8_t(rng());
        }
        image[0] = 0x02;
        for (const firmware::Format format : {firmware::Format::IntelHex, firmware::Format::SRecord}) {
            SCOPED_TRACE("round " + std::to_string(round) + ", format " + std::to_string(int(format)));
            Bytes file;
            ASSERT_TRUE(firmware::encode(image, format, {}, file).ok());
            const std::set<uint32_t> in_file = carried(file, format);
            for (uint32_t block = 0; block < image.size(); block += 32) {
                const uint32_t end = std::min<uint32_t>(block + 32, uint32_t(image.size()));
                bool blank = true;
                for (uint32_t at = block; at < end; ++at)
                    blank = blank && image[at] == 0xFF;
                for (uint32_t at = block; at < end; ++at) {
                    const bool needed = !blank || end == image.size();
                    ASSERT_EQ(in_file.count(at) == 1, needed)
                        << "address " << at << (needed ? " is missing" : " is in a blank block written all the same");
                }
            }
        }
    }
}

}  // namespace
