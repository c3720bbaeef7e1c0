#include "protocol/protocol.h"

#include <string.h>

static size_t put_header(uint8_t *record, size_t n, uint8_t command)
{
    record[0] = EFM8_RECORD_START;
    record[1] = (uint8_t)n;
    record[2] = command;
    return n + 2;
}

static void put_u16(uint8_t *at, uint32_t value)
{
    at[0] = (uint8_t)(value >> 8);
    at[1] = (uint8_t)value;
}

size_t record_identify(uint8_t *record, uint32_t id)
{
    put_u16(&record[3], id);
    return put_header(record, 3, EFM8_CMD_IDENTIFY);
}

size_t record_setup(uint8_t *record, uint8_t bank)
{
    record[3] = EFM8_FLASH_KEY_1;
    record[4] = EFM8_FLASH_KEY_2;
    record[5] = bank;
    return put_header(record, 4, EFM8_CMD_SETUP);
}

size_t record_data(uint8_t *record, uint8_t command, uint32_t address, const uint8_t *data, uint32_t len)
{
    put_u16(&record[3], address);
    if (len > 0)
        memcpy(&record[5], data, len);
    return put_header(record, len + 3, command);
}

size_t record_verify(uint8_t *record, uint32_t start, uint32_t end, uint16_t crc)
{
    put_u16(&record[3], start);
    put_u16(&record[5], end);
    put_u16(&record[7], crc);
    return put_header(record, 7, EFM8_CMD_VERIFY);
}

size_t record_lock(uint8_t *record, uint8_t signature, uint8_t lock)
{
    record[3] = signature;
    record[4] = lock;
    return put_header(record, 3, EFM8_CMD_LOCK);
}

size_t record_runapp(uint8_t *record)
{
    put_u16(&record[3], 0);
    return put_header(record, 3, EFM8_CMD_RUNAPP);
}

size_t record_unknown(uint8_t *record)
{
    put_u16(&record[3], 0);
    return put_header(record, 3, EFM8_CMD_UNKNOWN);
}

uint16_t crc16_update(uint16_t crc, uint8_t byte)
{
    crc ^= (uint16_t)(byte << 8);
    for (int bit = 0; bit < 8; ++bit)
        crc = (uint16_t)(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    return crc;
}

uint16_t crc16(const uint8_t *data, size_t len)
{
    uint16_t crc = 0;
    for (size_t i = 0; i < len; ++i)
        crc = crc16_update(crc, data[i]);
    return crc;
}
