#include "bootloader.h"

#include <algorithm>
#include <thread>

namespace efm8sim {

static const std::uint8_t FRAME_START = '$';

static std::uint32_t be16(const std::uint8_t *p)
{
    return static_cast<std::uint32_t>(p[0] << 8 | p[1]);
}

std::uint16_t crc16_xmodem_update(std::uint16_t crc, std::uint8_t byte)
{
    crc ^= static_cast<std::uint16_t>(byte << 8);
    for (int bit = 0; bit < 8; ++bit)
        crc = static_cast<std::uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    return crc;
}

std::uint16_t crc16_xmodem(const std::uint8_t *data, std::size_t len)
{
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < len; ++i)
        crc = crc16_xmodem_update(crc, data[i]);
    return crc;
}

Bootloader::Bootloader()
{
    set_layout(Layout{});
}

void Bootloader::set_flash_layout(std::size_t flash_size, std::uint32_t app_end)
{
    Layout layout = layout_;
    layout.flash_size = flash_size;
    layout.app_end = app_end;
    set_layout(layout);
}

// A chip as it leaves the factory: erased, unlocked, its bootloader enabled.
void Bootloader::set_layout(const Layout &layout)
{
    layout_ = layout;
    flash_.assign(layout.flash_size, 0xFF);
    security_[0] = security_[1] = 0xFF;
    *cell(layout.lock_byte - 1) = SIGNATURE_ENABLED;
}

const std::uint8_t *Bootloader::cell(std::uint32_t address) const
{
    if (address < flash_.size())
        return &flash_[address];
    if (address + 1 == layout_.lock_byte || address == layout_.lock_byte)
        return &security_[address + 1 - layout_.lock_byte];
    return nullptr;
}

std::uint8_t *Bootloader::cell(std::uint32_t address)
{
    return const_cast<std::uint8_t *>(static_cast<const Bootloader *>(this)->cell(address));
}

void Bootloader::reset_into_bootloader()
{
    key1_ = key2_ = 0;
    leaving_ = false;
    on_bus_ = !bootloader_disabled();
}

void Bootloader::reset_chip(bool entry_pin_low)
{
    reset_into_bootloader();
    if (!entry_pin_low && flash_[0] != 0xFF)
        on_bus_ = false;
}

void Bootloader::spend(std::chrono::nanoseconds time)
{
    if (time.count() == 0)
        return;
    device_time_ += time;
    if (latency_.sleeps)
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
    // The run command resets the chip, which enters its bootloader again
    // when byte 0 is 0xFF, as after any reset.
    if (leaving_)
        reset_chip(false);
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
        return lock(payload, len);
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
    const std::size_t page_size = layout_.page_size;
    const std::size_t page = address / page_size * page_size;
    if (address >= layout_.app_end || address + (len - 2) > page + page_size)
        return REPLY_RANGE;
    std::fill(flash_.begin() + page, flash_.begin() + page + page_size, 0xFF);
    spend(latency_.per_page_erase);
    return write(address, payload + 2, len - 2);
}

std::uint8_t Bootloader::write(std::uint32_t address, const std::uint8_t *data, std::size_t len)
{
    if (!keys_set() || len > DATA_MAX || address >= layout_.app_end || address + len > layout_.app_end)
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
    if (end < start)
        return REPLY_RANGE;
    std::uint16_t crc = 0;
    for (std::uint32_t address = start; address <= end; ++address) {
        const std::uint8_t *byte = cell(address);
        if (byte == nullptr)
            return REPLY_RANGE;
        crc = crc16_xmodem_update(crc, *byte);
    }
    return crc == be16(payload + 4) ? REPLY_ACK : REPLY_BAD_CRC;
}

// Each byte of 0xFF leaves its flash byte as it is; the reply is always '@'.
// Like any flash write, it needs the keys to change anything.
std::uint8_t Bootloader::lock(const std::uint8_t *payload, std::size_t len)
{
    if (len >= 2 && keys_set()) {
        *cell(layout_.lock_byte - 1) &= payload[0];
        *cell(layout_.lock_byte) &= payload[1];
    }
    return REPLY_ACK;
}

}  // namespace efm8sim
