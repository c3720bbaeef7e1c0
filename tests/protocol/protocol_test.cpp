// The records the engine builds, held against the simulated bootloader,
// which decodes them with code of its own: for random addresses, data and
// CRCs, each record is what the model takes as that command, and the CRC
// the engine computes is the model's, so a verify of written data passes
// and of anything else fails.
#include "protocol/protocol.h"

#include "bootloader.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

uint8_t send(efm8sim::Bootloader &model, const uint8_t *record, size_t len)
{
    model.receive(record, len);
    return model.take_reply();
}

TEST(Protocol, TheCrcIsTheBootloadersOnAnyData)
{
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(crc16(check, sizeof check), 0x31C3);  // CRC-16/XMODEM's check value
    std::mt19937 rng(1);
    for (int round = 0; round < 500; ++round) {
        Bytes data(rng() % 700);
        for (uint8_t &b : data)
            b = uint8_t(rng());
        ASSERT_EQ(crc16(data.data(), data.size()), efm8sim::crc16_xmodem(data.data(), data.size()));
    }
}

// Random erases and writes, then a verify of each range written and of one
// beside it: what the model holds is what the records said.
TEST(Protocol, RecordsCarryTheirAddressesDataAndChecksAsTheBootloaderReadsThem)
{
    std::mt19937 rng(2);
    for (int round = 0; round < 50; ++round) {
        efm8sim::Bootloader model;
        uint8_t record[EFM8_RECORD_MAX];
        ASSERT_EQ(send(model, record, record_setup(record, 0)), EFM8_REPLY_ACK);
        const uint32_t page = (rng() % 20) * 512;
        const uint32_t len = 1 + rng() % EFM8_WRITE_MAX;
        Bytes data(len);
        for (uint8_t &b : data)
            b = uint8_t(rng());
        ASSERT_EQ(send(model, record, record_data(record, EFM8_CMD_ERASE, page, nullptr, 0)), EFM8_REPLY_ACK);
        const uint32_t at = page + rng() % (512 - len + 1);
        ASSERT_EQ(send(model, record, record_data(record, EFM8_CMD_WRITE, at, data.data(), len)), EFM8_REPLY_ACK);
        EXPECT_EQ(Bytes(model.flash().begin() + at, model.flash().begin() + at + len), data) << "round " << round;
        const uint16_t crc = crc16(data.data(), data.size());
        EXPECT_EQ(send(model, record, record_verify(record, at, at + len - 1, crc)), EFM8_REPLY_ACK);
        EXPECT_EQ(send(model, record, record_verify(record, at, at + len - 1, uint16_t(crc ^ 1))),
                  EFM8_REPLY_BAD_CRC);
        const uint8_t erased = EFM8_ERASED;
        if (at + len < page + 512) {
            EXPECT_EQ(send(model, record, record_verify(record, at + len, at + len, crc16(&erased, 1))),
                      EFM8_REPLY_ACK);
        }
    }
}

}  // namespace
