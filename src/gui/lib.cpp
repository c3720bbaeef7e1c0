// The window's bootloader link over hidapi. Every command is one "$"-framed
// feature report followed by one 8-byte reply report. Frames are built and
// replies read in two static buffers, so only one caller may use it at a
// time, and nothing is allocated while it flashes.
#include "gui/lib.h"

#include "protocol/protocol.h"

#include <hidapi.h>

static const unsigned short EFM8_PRODUCT_ID = 0xEAC9;  // EFM8UB1

// The identify record carries one derivative's id (the EFM8UB11F16G's);
// other EFM8UB1 derivatives answer it with 0x42 and still accept the
// commands that follow, so its reply is not judged.
static const uint32_t EFM8_IDENTITY = 0x3245;

static const uint32_t PAGE_SIZE = 512;
static const uint32_t WRITE_SIZE = EFM8_WRITE_USB_DEFAULT;
static const uint8_t FLASH_BANK = 0x00;
static const size_t REPLY_SIZE = 8;  // the report id asked for, then the device's 7 bytes

static const int32_t RESULT_NO_DEVICE = -1;
static const int32_t RESULT_SIZE = -2;
static const int32_t RESULT_TRANSFER = -3;
static const int32_t RESULT_REFUSED = -4;
static const int32_t TRANSFER_FAILED = -1;

// Byte 0 is the report id, the frame starts at byte 1; the largest frame, a
// 32-byte write, ends at byte 37.
static uint8_t buf[40];
// Byte 0 is the report id asked for (always 0); the reply code lands in byte 1.
static uint8_t ret[REPLY_SIZE];

int32_t efm8_find(void)
{
    struct hid_device_info *devices = hid_enumerate(EFM8_USB_VENDOR_ID, EFM8_PRODUCT_ID);
    if (devices == NULL)
        return 0;
    hid_free_enumeration(devices);
    return 1;
}

// Sends frame bytes 0 to N+2 (N from byte 2) and reads the 8-byte reply
// report. Returns the reply code, or a negative value when a transfer failed
// or the reply was too short to hold a code.
static int32_t send_buf(hid_device *dev, uint8_t *frame)
{
    const int n = frame[2];
    frame[0] = 0;
    int r = hid_send_feature_report(dev, frame, (size_t)n + 3);
    if (r < 0)
        return r;
    r = hid_get_feature_report(dev, ret, REPLY_SIZE);
    if (r < 0)
        return r;
    if (r < 2)
        return TRANSFER_FAILED;
    return ret[1];
}

static int32_t send_id(hid_device *dev, uint32_t identity)
{
    record_identify(buf + 1, identity);
    return send_buf(dev, buf);
}

static int32_t send_setup(hid_device *dev)
{
    record_setup(buf + 1, FLASH_BANK);
    return send_buf(dev, buf);
}

static int32_t send_erase(hid_device *dev, uint32_t address)
{
    record_data(buf + 1, EFM8_CMD_ERASE, address, NULL, 0);
    return send_buf(dev, buf);
}

static int32_t send_write(hid_device *dev, uint32_t address, const uint8_t *data, uint32_t len)
{
    if (len > WRITE_SIZE)
        len = WRITE_SIZE;
    record_data(buf + 1, EFM8_CMD_WRITE, address, data, len);
    return send_buf(dev, buf);
}

static int32_t send_runapp(hid_device *dev)
{
    record_runapp(buf + 1);
    return send_buf(dev, buf);
}

// Folds one reply into the result so far: a failed transfer decides the
// result at once, a refusal is kept while the rest of the sequence is sent.
static int32_t judge(int32_t reply, int32_t so_far)
{
    if (reply < 0)
        return RESULT_TRANSFER;
    if (reply != EFM8_REPLY_ACK)
        return RESULT_REFUSED;
    return so_far;
}

static int32_t send_image(hid_device *dev, const uint8_t *data, uint32_t count)
{
    if (send_id(dev, EFM8_IDENTITY) < 0)
        return RESULT_TRANSFER;
    int32_t result = judge(send_setup(dev), 0);
    for (uint32_t address = 0; address < count && result != RESULT_TRANSFER; address += PAGE_SIZE)
        result = judge(send_erase(dev, address), result);
    for (uint32_t address = 0; address < count && result != RESULT_TRANSFER; address += WRITE_SIZE)
        result = judge(send_write(dev, address, data + address, count - address), result);
    if (result == RESULT_TRANSFER)
        return result;
    // The device resets into the new application, so this reply may never come.
    send_runapp(dev);
    return result;
}

int32_t efm8_program(const uint8_t *data, uint32_t count)
{
    if (count == 0 || count > EFM8_APP_SIZE)
        return RESULT_SIZE;
    hid_device *dev = hid_open(EFM8_USB_VENDOR_ID, EFM8_PRODUCT_ID, NULL);
    if (dev == NULL)
        return RESULT_NO_DEVICE;
    hid_set_nonblocking(dev, 0);
    const int32_t result = send_image(dev, data, count);
    hid_close(dev);
    return result;
}
