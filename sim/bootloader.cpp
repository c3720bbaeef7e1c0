#include "bootloader.h"

#include <algorithm>
#include <thread>

namespace efm8sim {

static const std::uint8_t FRAME_START = '$';

static std::uint32_t be16(const std::uint8_t *p)
{
    return static_cast<std::uint32_t>(p[0] << 8 | p[1]);
}

std::uint16_t crc16_xmodem(const std::uint8_t *data, std::size_t len)
{
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < len; ++i) {
        crc ^= static_cast<std::uint16_t>(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<std::uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

Bootloader::Bootloader() : flash_(FLASH_SIZE, 0xFF) {}

void Bootloader::set_flash_layout(std::size_t flash_size, std::uint32_t app_end)
{
    flash_.assign(flash_size, 0xFF);
    app_end_ = app_end;
}

void Bootloader::reset_into_bootloader()
{
    key1_ = key2_ = 0;
    leaving_ = false;
    on_bus_ = true;
}

void Bootloader::spend(std::chrono::nanoseconds time)
{
    if (time.count() == 0)
        return;
    device_time_ += time;
    std::this_thread::sleep_for(time);
}

void Bootloader::receive(const std::uint8_t *report, std::size_t len)
{
    spend(latency_.per_transfer);
    if (len < 3 || report[0] != FRAME_START)
        return;
    const std::size_t n = report[1];
    frames_.emplace_back(report, report + len);
    const std::size_t index = frames_.size() - 1;
    // A frame shorter than its length byte claims carries no usable command.
    reply_ = (n == 0 || n + 2 > len) ? REPLY_RANGE : execute(report[2], report + 3, n - 1);
    auto forced = forced_replies_.find(index);
    if (forced != forced_replies_.end())
        reply_ = forced->second;
    if (index == vanish_after_)
        on_bus_ = false;
}

std::uint8_t Bootloader::take_reply()
{
    spend(latency_.per_transfer);
    if (leaving_)
        on_bus_ = false;
    return reply_;
}

std::uint8_t Bootloader::execute(std::uint8_t command, const std::uint8_t *payload, std::size_t len)
{
    switch (command) {
    case CMD_IDENTIFY:
        if (len < 2)
            return REPLY_RANGE;
        return be16(payload) == identity_ ? REPLY_ACK : REPLY_BAD_ID;
    case CMD_SETUP:
        if (len < 3)
            return REPLY_RANGE;
        key1_ = payload[0];
        key2_ = payload[1];
        bank_ = payload[2];
        return REPLY_ACK;
    case CMD_ERASE:
        return erase(payload, len);
    case CMD_WRITE:
        if (len < 2)
            return REPLY_RANGE;
        return write(be16(payload), payload + 2, len - 2);
    case CMD_VERIFY:
        return verify(payload, len);
    case CMD_LOCK:
        if (len < 2)
            return REPLY_RANGE;
        signature_ = payload[0];
        lock_ = payload[1];
        return REPLY_ACK;
    case CMD_RUNAPP:
        leaving_ = true;
        return REPLY_ACK;
    default:
        return REPLY_REVISION;
    }
}

// The real chip resets on erase, write or verify without the flash keys;
// refusing them, flash untouched, is the closest a model can come. The data
// an erase carries must stay inside the erased page.
std::uint8_t Bootloader::erase(const std::uint8_t *payload, std::size_t len)
{
    if (len < 2 || !keys_set())
        return REPLY_RANGE;
    const std::uint32_t address = be16(payload);
    const std::size_t page = address / PAGE_SIZE * PAGE_SIZE;
    if (address >= app_end_ || address + (len - 2) > page + PAGE_SIZE)
        return REPLY_RANGE;
    std::fill(flash_.begin() + page, flash_.begin() + page + PAGE_SIZE, 0xFF);
    spend(latency_.per_page_erase);
    return write(address, payload + 2, len - 2);
}

std::uint8_t Bootloader::write(std::uint32_t address, const std::uint8_t *data, std::size_t len)
{
    if (!keys_set() || len > DATA_MAX || address >= app_end_ || address + len > app_end_)
        return REPLY_RANGE;
    for (std::size_t i = 0; i < len; ++i)
        flash_[address + i] &= data[i];  // programming only clears bits
    spend(latency_.per_written_byte * static_cast<long>(len));
    return REPLY_ACK;
}

std::uint8_t Bootloader::verify(const std::uint8_t *payload, std::size_t len)
{
    if (len < 6 || !keys_set())
        return REPLY_RANGE;
    const std::uint32_t start = be16(payload);
    const std::uint32_t end = be16(payload + 2);
    if (end < start || end >= flash_.size())
        return REPLY_RANGE;
    const std::uint16_t crc = crc16_xmodem(&flash_[start], end - start + 1);
    return crc == be16(payload + 4) ? REPLY_ACK : REPLY_BAD_CRC;
}

}  // namespace efm8sim
