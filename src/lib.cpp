// Bootloader link over hidapi. Every command is one "$"-framed feature report
// followed by one 8-byte reply report; frames and replies live in two static
// buffers, so nothing is allocated and only one caller may use it at a time.
#include "lib.h"

#include <hidapi.h>
#include <string.h>

static const unsigned short EFM8_VENDOR_ID = 0x10C4;
static const unsigned short EFM8_PRODUCT_ID = 0xEAC9;

// One identity for every EFM8UB1; other derivatives answer it with 0x42 but
// still accept the commands that follow, so its reply is not judged.
static const uint32_t EFM8_IDENTITY = 0x3245;

static const uint32_t APP_AREA_SIZE = 0x3A00;  // the bootloader sits from here
static const uint32_t PAGE_SIZE = 512;
static const uint32_t WRITE_MAX = 32;

static const uint8_t FRAME_START = 0x24;  // '$'
static const uint8_t CMD_IDENTIFY = 0x30;
static const uint8_t CMD_SETUP = 0x31;
static const uint8_t CMD_ERASE = 0x32;
static const uint8_t CMD_WRITE = 0x33;
static const uint8_t CMD_RUNAPP = 0x36;
static const uint8_t FLASH_KEY_1 = 0xA5;
static const uint8_t FLASH_KEY_2 = 0xF1;
static const uint8_t FLASH_BANK = 0x00;
static const uint8_t REPLY_ACK = 0x40;  // '@'

static const int32_t TRANSFER_FAILED = -1;

static const int32_t PROGRAM_OK = 0;
static const int32_t PROGRAM_NO_DEVICE = -1;
static const int32_t PROGRAM_BAD_SIZE = -2;
static const int32_t PROGRAM_TRANSFER_FAILED = -3;
static const int32_t PROGRAM_REFUSED = -4;

// Byte 0 is the report id, the frame starts at byte 1; the largest frame, a
// 32-byte write, ends at byte 37.
static uint8_t buf[40];
// Byte 0 is the report id asked for (always 0); the reply code lands in byte 1.
static uint8_t ret[8];

int32_t efm8_find(void)
{
    struct hid_device_info *devices = hid_enumerate(EFM8_VENDOR_ID, EFM8_PRODUCT_ID);
    if (devices == NULL)
        return 0;
    hid_free_enumeration(devices);
    return 1;
}

// Sends frame bytes 0 to N+2 (N from byte 2) and reads the reply. Returns the
// reply code, or a negative value when a transfer failed or the reply was too
// short to hold a code.
static int32_t send_buf(hid_device *dev, uint8_t *frame)
{
    const int n = frame[2];
    frame[0] = 0;
    int r = hid_send_feature_report(dev, frame, (size_t)n + 3);
    if (r < 0)
        return r;
    r = hid_get_feature_report(dev, ret, sizeof ret);
    if (r < 0)
        return r;
    if (r < 2)
        return TRANSFER_FAILED;
    return ret[1];
}

static void put_header(uint8_t n, uint8_t command)
{
    buf[1] = FRAME_START;
    buf[2] = n;
    buf[3] = command;
}

// Only the low 16 bits go out, high byte first.
static void put_u16(uint8_t *at, uint32_t value)
{
    at[0] = (uint8_t)(value >> 8);
    at[1] = (uint8_t)value;
}

static int32_t send_id(hid_device *dev, uint32_t identity)
{
    put_header(3, CMD_IDENTIFY);
    put_u16(&buf[4], identity);
    return send_buf(dev, buf);
}

static int32_t send_setup(hid_device *dev)
{
    put_header(4, CMD_SETUP);
    buf[4] = FLASH_KEY_1;
    buf[5] = FLASH_KEY_2;
    buf[6] = FLASH_BANK;
    return send_buf(dev, buf);
}

static int32_t send_erase(hid_device *dev, uint32_t address)
{
    put_header(3, CMD_ERASE);
    put_u16(&buf[4], address);
    return send_buf(dev, buf);
}

static int32_t send_write(hid_device *dev, uint32_t address, const uint8_t *data, uint32_t len)
{
    if (len > WRITE_MAX)
        len = WRITE_MAX;
    put_header((uint8_t)(len + 3), CMD_WRITE);
    put_u16(&buf[4], address);
    memcpy(&buf[6], data, len);
    return send_buf(dev, buf);
}

static int32_t send_runapp(hid_device *dev)
{
    put_header(3, CMD_RUNAPP);
    put_u16(&buf[4], 0);
    return send_buf(dev, buf);
}

// Folds one reply into the result so far: a failed transfer decides the
// result at once, a refusal is kept while the rest of the sequence is sent.
static int32_t judge(int32_t reply, int32_t so_far)
{
    if (reply < 0)
        return PROGRAM_TRANSFER_FAILED;
    if (reply != REPLY_ACK)
        return PROGRAM_REFUSED;
    return so_far;
}

static int32_t send_image(hid_device *dev, const uint8_t *data, uint32_t count)
{
    if (send_id(dev, EFM8_IDENTITY) < 0)
        return PROGRAM_TRANSFER_FAILED;
    int32_t result = judge(send_setup(dev), PROGRAM_OK);
    for (uint32_t address = 0; address < count && result != PROGRAM_TRANSFER_FAILED; address += PAGE_SIZE)
        result = judge(send_erase(dev, address), result);
    for (uint32_t address = 0; address < count && result != PROGRAM_TRANSFER_FAILED; address += WRITE_MAX)
        result = judge(send_write(dev, address, data + address, count - address), result);
    if (result == PROGRAM_TRANSFER_FAILED)
        return result;
    // The device resets into the new application, so this reply may never come.
    send_runapp(dev);
    return result;
}

int32_t efm8_program(const uint8_t *data, uint32_t count)
{
    if (count == 0 || count > APP_AREA_SIZE)
        return PROGRAM_BAD_SIZE;
    hid_device *dev = hid_open(EFM8_VENDOR_ID, EFM8_PRODUCT_ID, NULL);
    if (dev == NULL)
        return PROGRAM_NO_DEVICE;
    hid_set_nonblocking(dev, 0);
    const int32_t result = send_image(dev, data, count);
    hid_close(dev);
    return result;
}
