// Bootloader link over hidapi. Every command is one "$"-framed feature report
// followed by one 8-byte reply report. The window's sequence builds frames
// and reads replies in two static buffers, so only one caller may use it at
// a time; the engine's sessions each have buffers of their own. Neither
// allocates while it flashes.
#include "lib.h"

#include "engine.h"

#include <errno.h>
#include <fcntl.h>
#include <hidapi.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <wchar.h>

static const unsigned short EFM8_VENDOR_ID = 0x10C4;
static const unsigned short EFM8_PRODUCT_ID = EFM8_UB1_PRODUCT_ID;

// One identity for every EFM8UB1; other derivatives answer it with 0x42 but
// still accept the commands that follow, so its reply is not judged.
static const uint32_t EFM8_IDENTITY = 0x3245;

static const uint8_t FRAME_START = 0x24;  // '$'
static const uint8_t FLASH_KEY_1 = 0xA5;
static const uint8_t FLASH_KEY_2 = 0xF1;
static const uint8_t FLASH_BANK = 0x00;
static const uint8_t REPLY_ACK = 0x40;  // '@'
static const size_t REPLY_SIZE = 8;     // the report id asked for, then the device's 7 bytes

static const int32_t TRANSFER_FAILED = -1;

// Byte 0 is the report id, the frame starts at byte 1; the largest frame, a
// 32-byte write, ends at byte 37.
static uint8_t buf[40];
// Byte 0 is the report id asked for (always 0); the reply code lands in byte 1.
static uint8_t ret[REPLY_SIZE];

int32_t efm8_find(void)
{
    struct hid_device_info *devices = hid_enumerate(EFM8_VENDOR_ID, EFM8_PRODUCT_ID);
    if (devices == NULL)
        return 0;
    hid_free_enumeration(devices);
    return 1;
}

// One encoder per command, into any frame buffer: byte 0 is the report id,
// the frame starts at byte 1. Only the low 16 bits of an address go out,
// high byte first.
static void put_header(uint8_t *frame, uint32_t n, uint8_t command)
{
    frame[1] = FRAME_START;
    frame[2] = (uint8_t)n;
    frame[3] = command;
}

static void put_u16(uint8_t *at, uint32_t value)
{
    at[0] = (uint8_t)(value >> 8);
    at[1] = (uint8_t)value;
}

static void frame_identify(uint8_t *frame, uint32_t identity)
{
    put_header(frame, 3, EFM8_CMD_IDENTIFY);
    put_u16(&frame[4], identity);
}

static void frame_setup(uint8_t *frame)
{
    put_header(frame, 4, EFM8_CMD_SETUP);
    frame[4] = FLASH_KEY_1;
    frame[5] = FLASH_KEY_2;
    frame[6] = FLASH_BANK;
}

// An erase or a write: the address, then len data bytes (an erase writes
// them into the page it has just erased).
static void frame_data(uint8_t *frame, uint8_t command, uint32_t address, const uint8_t *data, uint32_t len)
{
    put_header(frame, len + 3, command);
    put_u16(&frame[4], address);
    if (len > 0)
        memcpy(&frame[6], data, len);
}

// end is inclusive.
static void frame_verify(uint8_t *frame, uint32_t start, uint32_t end, uint16_t crc)
{
    put_header(frame, 7, EFM8_CMD_VERIFY);
    put_u16(&frame[4], start);
    put_u16(&frame[6], end);
    put_u16(&frame[8], crc);
}

static void frame_runapp(uint8_t *frame)
{
    put_header(frame, 3, EFM8_CMD_RUNAPP);
    put_u16(&frame[4], 0);
}

// Sends frame bytes 0 to N+2 (N from byte 2) and reads the 8-byte reply
// report. Returns the reply code, or a negative value when a transfer failed
// or the reply was too short to hold a code.
static int32_t transfer(hid_device *dev, uint8_t *frame, uint8_t *reply)
{
    const int n = frame[2];
    frame[0] = 0;
    int r = hid_send_feature_report(dev, frame, (size_t)n + 3);
    if (r < 0)
        return r;
    r = hid_get_feature_report(dev, reply, REPLY_SIZE);
    if (r < 0)
        return r;
    if (r < 2)
        return TRANSFER_FAILED;
    return reply[1];
}

// The window's commands, over the two static buffers.

static int32_t send_buf(hid_device *dev, uint8_t *frame)
{
    return transfer(dev, frame, ret);
}

static int32_t send_id(hid_device *dev, uint32_t identity)
{
    frame_identify(buf, identity);
    return send_buf(dev, buf);
}

static int32_t send_setup(hid_device *dev)
{
    frame_setup(buf);
    return send_buf(dev, buf);
}

static int32_t send_erase(hid_device *dev, uint32_t address)
{
    frame_data(buf, EFM8_CMD_ERASE, address, NULL, 0);
    return send_buf(dev, buf);
}

static int32_t send_write(hid_device *dev, uint32_t address, const uint8_t *data, uint32_t len)
{
    if (len > EFM8_WRITE_DEFAULT)  // the window's sequence writes 32 bytes at a time
        len = EFM8_WRITE_DEFAULT;
    frame_data(buf, EFM8_CMD_WRITE, address, data, len);
    return send_buf(dev, buf);
}

static int32_t send_runapp(hid_device *dev)
{
    frame_runapp(buf);
    return send_buf(dev, buf);
}

// Folds one reply into the result so far: a failed transfer decides the
// result at once, a refusal is kept while the rest of the sequence is sent.
static int32_t judge(int32_t reply, int32_t so_far)
{
    if (reply < 0)
        return EFM8_ERR_TRANSFER;
    if (reply != REPLY_ACK)
        return EFM8_ERR_REFUSED;
    return so_far;
}

static int32_t send_image(hid_device *dev, const uint8_t *data, uint32_t count)
{
    if (send_id(dev, EFM8_IDENTITY) < 0)
        return EFM8_ERR_TRANSFER;
    int32_t result = judge(send_setup(dev), EFM8_OK);
    for (uint32_t address = 0; address < count && result != EFM8_ERR_TRANSFER; address += EFM8_PAGE_SIZE)
        result = judge(send_erase(dev, address), result);
    for (uint32_t address = 0; address < count && result != EFM8_ERR_TRANSFER; address += EFM8_WRITE_DEFAULT)
        result = judge(send_write(dev, address, data + address, count - address), result);
    if (result == EFM8_ERR_TRANSFER)
        return result;
    // The device resets into the new application, so this reply may never come.
    send_runapp(dev);
    return result;
}

int32_t efm8_program(const uint8_t *data, uint32_t count)
{
    if (count == 0 || count > EFM8_UB1_APP_SIZE)
        return EFM8_ERR_SIZE;
    hid_device *dev = hid_open(EFM8_VENDOR_ID, EFM8_PRODUCT_ID, NULL);
    if (dev == NULL)
        return EFM8_ERR_NO_DEVICE;
    hid_set_nonblocking(dev, 0);
    const int32_t result = send_image(dev, data, count);
    hid_close(dev);
    return result;
}

// The engine: sessions of their own, one per board.

// Enough for the longest frame: report id, '$', N, a write command, its
// address and 128 data bytes.
static const size_t FRAME_SIZE = 6 + EFM8_WRITE_MAX;
static const uint32_t HALF_PAGE = EFM8_PAGE_SIZE / 2;
static const uint8_t ERASED = 0xFF;
static const uint8_t REPLY_RANGE = 0x41;    // 'A'
static const uint8_t REPLY_BAD_ID = 0x42;   // 'B'
static const uint8_t REPLY_BAD_CRC = 0x43;  // 'C'
static const uint8_t REPLY_VERSION = 0x90;  // the answer to an unknown command

struct family {
    unsigned short product_id;
    const char *name;
};

static const struct family FAMILIES[] = {
    {EFM8_UB1_PRODUCT_ID, "EFM8UB1"},
    {0xEACA, "EFM8UB2"},
    {0xEACB, "EFM8UB3"},
};

// The EFM8UB1's device id 0x32 with each documented derivative id.
struct derivative {
    uint32_t identity;
    const char *name;
};

static const struct derivative UB1_DERIVATIVES[] = {
    {0x3241, "EFM8UB10F16G-QFN28"},
    {0x3243, "EFM8UB10F16G-QFN20"},
    {0x3245, "EFM8UB11F16G-QSOP24"},
    {0x3249, "EFM8UB10F8G-QFN20"},
};

struct efm8_session {
    hid_device *dev;
    struct efm8_device device;
    struct efm8_report *report;  // of the call under way
    uint8_t frame[FRAME_SIZE];
    uint8_t reply[REPLY_SIZE];
};

// hidapi sets itself up on first use, but not safely from two threads at once.
static pthread_once_t hidapi_ready = PTHREAD_ONCE_INIT;

static void init_hidapi(void)
{
    hid_init();
}

static const char *family_of(unsigned short product_id)
{
    for (const struct family &f : FAMILIES)
        if (f.product_id == product_id)
            return f.name;
    return NULL;
}

// False for what is not a bootloader, or has a path too long to keep.
static bool describe_device(const struct hid_device_info *info, struct efm8_device *device)
{
    const char *family = family_of(info->product_id);
    if (family == NULL || info->path == NULL || strlen(info->path) >= EFM8_PATH_MAX)
        return false;
    snprintf(device->path, sizeof device->path, "%s", info->path);
    device->vendor_id = info->vendor_id;
    device->product_id = info->product_id;
    device->family = family;
    return true;
}

// Puts device in its place among the first filled entries, sorted by path,
// keeping no more than max.
static void insert_sorted(struct efm8_device *devices, int32_t filled, int32_t max,
                          const struct efm8_device *device)
{
    int32_t at = filled;
    while (at > 0 && strcmp(devices[at - 1].path, device->path) > 0)
        --at;
    if (at >= max)
        return;
    const int32_t kept = filled < max ? filled : max - 1;
    memmove(&devices[at + 1], &devices[at], (size_t)(kept - at) * sizeof *devices);
    devices[at] = *device;
}

int32_t efm8_list(struct efm8_device *devices, int32_t max)
{
    pthread_once(&hidapi_ready, init_hidapi);
    struct hid_device_info *all = hid_enumerate(EFM8_VENDOR_ID, 0);
    int32_t count = 0;
    for (const struct hid_device_info *info = all; info != NULL; info = info->next) {
        struct efm8_device device;
        if (!describe_device(info, &device))
            continue;
        insert_sorted(devices, count < max ? count : max, max, &device);
        ++count;
    }
    hid_free_enumeration(all);
    return count;
}

// The bootloader at path, or with path NULL the only one attached.
static int32_t choose_device(const char *path, struct efm8_device *chosen)
{
    struct hid_device_info *all = hid_enumerate(EFM8_VENDOR_ID, 0);
    int32_t attached = 0, matched = 0;
    for (const struct hid_device_info *info = all; info != NULL; info = info->next) {
        struct efm8_device device;
        if (!describe_device(info, &device))
            continue;
        ++attached;
        if (path == NULL || strcmp(path, device.path) == 0) {
            *chosen = device;
            ++matched;
        }
    }
    hid_free_enumeration(all);
    if (path == NULL && attached > 1)
        return EFM8_ERR_SEVERAL;
    return matched > 0 ? EFM8_OK : EFM8_ERR_NO_DEVICE;
}

static bool read_number(const char *file, unsigned *value)
{
    FILE *in = fopen(file, "r");
    if (in == NULL)
        return false;
    const bool read = fscanf(in, "%u", value) == 1;
    fclose(in);
    return read;
}

// The device node behind a hidapi path: hidraw's paths are the node itself,
// libusb's name the USB device in sysfs before the ':' ("1-2" of "1-2:1.0").
static bool node_of(const char *path, char *node, size_t size)
{
    if (path[0] == '/') {
        snprintf(node, size, "%s", path);
        return true;
    }
    const char *colon = strchr(path, ':');
    if (colon == NULL)
        return false;
    char sysfs[EFM8_PATH_MAX + 64];
    unsigned bus, address;
    snprintf(sysfs, sizeof sysfs, "/sys/bus/usb/devices/%.*s/busnum", (int)(colon - path), path);
    if (!read_number(sysfs, &bus))
        return false;
    snprintf(sysfs, sizeof sysfs, "/sys/bus/usb/devices/%.*s/devnum", (int)(colon - path), path);
    if (!read_number(sysfs, &address))
        return false;
    snprintf(node, size, "/dev/bus/usb/%03u/%03u", bus, address);
    return true;
}

// hidapi does not say why an open failed, so ask the device node itself.
static bool access_denied(const char *path)
{
    char node[EFM8_PATH_MAX];
    if (!node_of(path, node, sizeof node))
        return false;
    const int fd = open(node, O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
        close(fd);
        return false;
    }
    return errno == EACCES || errno == EPERM;
}

int32_t efm8_open(const char *path, efm8_session **session)
{
    *session = NULL;
    pthread_once(&hidapi_ready, init_hidapi);
    struct efm8_device device;
    const int32_t chosen = choose_device(path, &device);
    if (chosen != EFM8_OK)
        return chosen;
    hid_device *dev = hid_open_path(device.path);
    if (dev == NULL)
        return access_denied(device.path) ? EFM8_ERR_ACCESS : EFM8_ERR_OPEN;
    efm8_session *opened = (efm8_session *)calloc(1, sizeof *opened);
    if (opened == NULL) {
        hid_close(dev);
        return EFM8_ERR_OPEN;
    }
    hid_set_nonblocking(dev, 0);
    opened->dev = dev;
    opened->device = device;
    *session = opened;
    return EFM8_OK;
}

void efm8_close(efm8_session *session)
{
    if (session == NULL)
        return;
    hid_close(session->dev);
    free(session);
}

const struct efm8_device *efm8_session_device(const efm8_session *session)
{
    return &session->device;
}

// Reports: every call starts a fresh one and ends with its result.

static struct efm8_report *begin(efm8_session *session, struct efm8_report *report)
{
    memset(report, 0, sizeof *report);
    report->reply = -1;
    session->report = report;
    return report;
}

static int32_t finish(struct efm8_report *report, int32_t result)
{
    report->result = result;
    return result;
}

// Keeps where a command failed: the first failure is the one that counts.
static int32_t record_failure(efm8_session *session, int32_t result, uint32_t address, int32_t reply)
{
    struct efm8_report *report = session->report;
    report->command = session->frame[3];
    report->address = address;
    report->reply = reply;
    return result;
}

static void record_usb_error(efm8_session *session, int os_error)
{
    struct efm8_report *report = session->report;
    report->os_error = os_error;
    const wchar_t *text = hid_error(session->dev);
    size_t i = 0;
    for (; text != NULL && text[i] != 0 && i + 1 < sizeof report->usb_error; ++i)
        report->usb_error[i] = text[i] < 0x80 ? (char)text[i] : '?';
    report->usb_error[i] = 0;
}

// Sends the frame built in the session; returns the reply code, or
// EFM8_ERR_TRANSFER with the failure recorded.
static int32_t exchange(efm8_session *session, uint32_t address)
{
    errno = 0;
    const int32_t reply = transfer(session->dev, session->frame, session->reply);
    const int os_error = errno;
    ++session->report->commands;
    if (reply >= 0)
        return reply;
    record_usb_error(session, os_error);
    return record_failure(session, EFM8_ERR_TRANSFER, address, -1);
}

// For the commands whose only good answer is '@'.
static int32_t expect_ack(efm8_session *session, uint32_t address)
{
    const int32_t reply = exchange(session, address);
    if (reply < 0)
        return reply;
    if (reply != REPLY_ACK)
        return record_failure(session, EFM8_ERR_REFUSED, address, reply);
    return EFM8_OK;
}

// The engine's commands, one function each.

static int32_t cmd_setup(efm8_session *session)
{
    frame_setup(session->frame);
    return expect_ack(session, 0);
}

static int32_t cmd_erase(efm8_session *session, uint32_t address, const uint8_t *data, uint32_t len)
{
    frame_data(session->frame, EFM8_CMD_ERASE, address, data, len);
    session->report->bytes_written += len;
    return expect_ack(session, address);
}

static int32_t cmd_write(efm8_session *session, uint32_t address, const uint8_t *data, uint32_t len)
{
    frame_data(session->frame, EFM8_CMD_WRITE, address, data, len);
    session->report->bytes_written += len;
    return expect_ack(session, address);
}

// 1 when the flash from start to end (inclusive) has this CRC, 0 when it
// has not, or a failure.
static int32_t cmd_verify(efm8_session *session, uint32_t start, uint32_t end, uint16_t crc)
{
    frame_verify(session->frame, start, end, crc);
    const int32_t reply = exchange(session, start);
    if (reply < 0)
        return reply;
    if (reply == REPLY_BAD_CRC)
        return 0;
    if (reply != REPLY_ACK)
        return record_failure(session, EFM8_ERR_REFUSED, start, reply);
    return 1;
}

// The device answers, then resets into the application a moment later.
static int32_t cmd_runapp(efm8_session *session)
{
    frame_runapp(session->frame);
    return expect_ack(session, 0);
}

// 1 when the device has this identity, 0 when it has another.
static int32_t cmd_identify(efm8_session *session, uint32_t identity)
{
    frame_identify(session->frame, identity);
    const int32_t reply = exchange(session, 0);
    if (reply < 0)
        return reply;
    return reply == REPLY_ACK ? 1 : 0;
}

// The image as the chip should hold it: its bytes, then 0xFF.

struct image {
    const uint8_t *data;
    uint32_t count;
};

static uint8_t image_byte(const struct image *image, uint32_t address)
{
    return address < image->count ? image->data[address] : ERASED;
}

// CRC-16 as the bootloader's verify computes it: CCITT "XModem", polynomial
// 0x1021, initial value 0, no reflection, no final xor.
static uint16_t image_crc(const struct image *image, uint32_t start, uint32_t end)
{
    uint16_t crc = 0;
    for (uint32_t address = start; address <= end; ++address) {
        crc ^= (uint16_t)(image_byte(image, address) << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (uint16_t)(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

static bool blank(const struct image *image, uint32_t address, uint32_t len)
{
    for (uint32_t i = 0; i < len; ++i)
        if (image->data[address + i] != ERASED)
            return false;
    return true;
}

static uint32_t pages_of(uint32_t count)
{
    return (count + EFM8_PAGE_SIZE - 1) / EFM8_PAGE_SIZE;
}

static uint32_t image_bytes_in_page(const struct image *image, uint32_t page)
{
    const uint32_t start = page * EFM8_PAGE_SIZE;
    const uint32_t left = image->count - start;
    return left < EFM8_PAGE_SIZE ? left : EFM8_PAGE_SIZE;
}

// 1 when the chip's page holds the image, 0 when not, or a failure. Each
// half page gets its own check: a change inside one half escapes only if its
// own CRC-16 matches, never because it cancels against a change elsewhere.
static int32_t page_holds(efm8_session *session, const struct image *image, uint32_t page)
{
    for (uint32_t start = page * EFM8_PAGE_SIZE; start < (page + 1) * EFM8_PAGE_SIZE; start += HALF_PAGE) {
        const uint32_t end = start + HALF_PAGE - 1;
        const int32_t holds = cmd_verify(session, start, end, image_crc(image, start, end));
        if (holds <= 0)
            return holds;
    }
    return 1;
}

// An image that fits the part: the 16 KB EFM8UB1's area, or for parts whose
// area is not known here the 16-bit address space, bounded by the device's
// own 'A' replies.
static bool size_fits(const efm8_session *session, uint32_t count)
{
    const uint32_t limit = session->device.product_id == EFM8_PRODUCT_ID ? EFM8_UB1_APP_SIZE : EFM8_ADDRESS_SPACE;
    return count > 0 && count <= limit;
}

// One efm8_flash call.
struct job {
    efm8_session *session;
    const struct efm8_options *options;
    struct image image;
    uint32_t pages;
    bool rewrite[EFM8_MAX_PAGES];
    bool page0_held;  // page 0 erased up front, its first chunk written last
    bool wrote;
    uint32_t done;
};

static void progress(struct job *job, enum efm8_phase phase, uint32_t settled)
{
    job->done += settled;
    if (job->options->progress != NULL)
        job->options->progress(job->options->progress_user, phase, job->done, job->image.count);
}

// With delta, asks which pages already hold the image; otherwise every page
// is rewritten. With safe order page 0 is asked last, and only when no other
// page needs writing, since any write rewrites it anyway.
static int32_t choose_pages(struct job *job)
{
    struct efm8_report *report = job->session->report;
    const bool delta = job->options->delta;
    for (uint32_t page = 0; page < job->pages; ++page)
        job->rewrite[page] = !delta;
    if (!delta)
        return EFM8_OK;
    progress(job, EFM8_PHASE_COMPARE, 0);
    bool any = false;
    for (uint32_t i = 1; i <= job->pages; ++i) {
        const uint32_t page = i % job->pages;  // page 0 last
        if (page == 0 && any && job->options->safe_order) {
            job->rewrite[0] = true;
            break;
        }
        const int32_t holds = page_holds(job->session, &job->image, page);
        if (holds < 0)
            return holds;
        job->rewrite[page] = holds == 0;
        any = any || holds == 0;
        if (holds) {
            ++report->pages_skipped;
            progress(job, EFM8_PHASE_COMPARE, image_bytes_in_page(&job->image, page));
        }
    }
    return EFM8_OK;
}

// Erases the page with its first chunk in the same command, then writes the
// rest in chunks of the write size that never cross the page. A held page 0
// is already erased and keeps its first chunk back.
static int32_t write_page(struct job *job, uint32_t page)
{
    const struct image *image = &job->image;
    const uint32_t start = page * EFM8_PAGE_SIZE;
    const uint32_t end = start + image_bytes_in_page(image, page);
    const bool held = page == 0 && job->page0_held;
    for (uint32_t address = start; address < end;) {
        const uint32_t len = end - address < job->options->write_size ? end - address : job->options->write_size;
        const bool skip = job->options->skip_blank && blank(image, address, len);
        int32_t result = EFM8_OK;
        if (address == start && !held)
            result = cmd_erase(job->session, address, image->data + address, skip ? 0 : len);
        else if (address != start && !skip)
            result = cmd_write(job->session, address, image->data + address, len);
        if (result != EFM8_OK)
            return result;
        if (address != start || !held)
            progress(job, EFM8_PHASE_WRITE, len);
        address += len;
    }
    return EFM8_OK;
}

// Page 0's first chunk, held back to the very end.
static int32_t write_first_chunk(struct job *job)
{
    const struct image *image = &job->image;
    const uint32_t page_bytes = image_bytes_in_page(image, 0);
    const uint32_t len = page_bytes < job->options->write_size ? page_bytes : job->options->write_size;
    if (!(job->options->skip_blank && blank(image, 0, len))) {
        const int32_t result = cmd_write(job->session, 0, image->data, len);
        if (result != EFM8_OK)
            return result;
    }
    progress(job, EFM8_PHASE_WRITE, len);
    return EFM8_OK;
}

static int32_t write_pages(struct job *job)
{
    job->page0_held = job->options->safe_order && job->rewrite[0];
    if (job->page0_held) {
        const int32_t result = cmd_erase(job->session, 0, NULL, 0);
        if (result != EFM8_OK)
            return result;
    }
    for (uint32_t page = 0; page < job->pages; ++page) {
        if (!job->rewrite[page])
            continue;
        job->wrote = true;
        const int32_t result = write_page(job, page);
        if (result != EFM8_OK)
            return result;
    }
    return job->page0_held ? write_first_chunk(job) : EFM8_OK;
}

// One CRC check over every page the image spans.
static int32_t verify_written(struct job *job)
{
    progress(job, EFM8_PHASE_VERIFY, 0);
    const uint32_t end = job->pages * EFM8_PAGE_SIZE - 1;
    const int32_t holds = cmd_verify(job->session, 0, end, image_crc(&job->image, 0, end));
    if (holds < 0)
        return holds;
    if (holds == 0)
        return record_failure(job->session, EFM8_ERR_MISMATCH, 0, REPLY_BAD_CRC);
    return EFM8_OK;
}

void efm8_default_options(struct efm8_options *options)
{
    memset(options, 0, sizeof *options);
    options->verify = 1;
    options->safe_order = 1;
    options->skip_blank = 1;
    options->run = 1;
    options->write_size = EFM8_WRITE_DEFAULT;
}

int32_t efm8_flash(efm8_session *session, const uint8_t *image, uint32_t count,
                   const struct efm8_options *options, struct efm8_report *report)
{
    struct efm8_report unused;
    report = begin(session, report != NULL ? report : &unused);
    struct efm8_options defaults;
    if (options == NULL) {
        efm8_default_options(&defaults);
        options = &defaults;
    }
    if (options->write_size < 1 || options->write_size > EFM8_WRITE_MAX)
        return finish(report, EFM8_ERR_OPTIONS);
    if (!size_fits(session, count))
        return finish(report, EFM8_ERR_SIZE);
    struct job job;
    memset(&job, 0, sizeof job);
    job.session = session;
    job.options = options;
    job.image.data = image;
    job.image.count = count;
    job.pages = pages_of(count);

    int32_t result = cmd_setup(session);
    if (result == EFM8_OK)
        result = choose_pages(&job);
    if (result == EFM8_OK)
        result = write_pages(&job);
    if (result == EFM8_OK && options->verify && job.wrote)
        result = verify_written(&job);
    if (result == EFM8_OK && options->run)
        result = cmd_runapp(session);
    return finish(report, result);
}

int32_t efm8_verify(efm8_session *session, const uint8_t *image, uint32_t count, struct efm8_report *report)
{
    struct efm8_report unused;
    report = begin(session, report != NULL ? report : &unused);
    if (!size_fits(session, count))
        return finish(report, EFM8_ERR_SIZE);
    const struct image wanted = {image, count};
    int32_t result = cmd_setup(session);
    for (uint32_t page = 0; result == EFM8_OK && page < pages_of(count); ++page) {
        const int32_t holds = page_holds(session, &wanted, page);
        if (holds < 0)
            result = holds;
        else if (holds == 0) {
            report->differ[page / 8] |= (uint8_t)(1u << (page % 8));
            ++report->pages_differ;
        }
    }
    if (result == EFM8_OK && report->pages_differ > 0)
        result = EFM8_ERR_MISMATCH;
    return finish(report, result);
}

int32_t efm8_run(efm8_session *session, struct efm8_report *report)
{
    struct efm8_report unused;
    report = begin(session, report != NULL ? report : &unused);
    return finish(report, cmd_runapp(session));
}

int32_t efm8_identify(efm8_session *session, const char **name, struct efm8_report *report)
{
    struct efm8_report unused;
    report = begin(session, report != NULL ? report : &unused);
    *name = "unknown";
    if (session->device.product_id != EFM8_PRODUCT_ID)
        return finish(report, EFM8_OK);  // no ids are documented for the other families
    for (const struct derivative &d : UB1_DERIVATIVES) {
        const int32_t matches = cmd_identify(session, d.identity);
        if (matches < 0)
            return finish(report, matches);
        if (matches) {
            *name = d.name;
            break;
        }
    }
    return finish(report, EFM8_OK);
}

int efm8_page_differs(const struct efm8_report *report, uint32_t page)
{
    return page < EFM8_MAX_PAGES && (report->differ[page / 8] >> (page % 8) & 1);
}

const char *efm8_strerror(int32_t result)
{
    switch (result) {
    case EFM8_OK: return "done";
    case EFM8_ERR_NO_DEVICE: return "no EFM8 bootloader is attached";
    case EFM8_ERR_SIZE: return "the image is empty or larger than the part's application area";
    case EFM8_ERR_TRANSFER: return "a USB transfer failed";
    case EFM8_ERR_REFUSED: return "the bootloader refused a command";
    case EFM8_ERR_MISMATCH: return "the chip's flash does not match the image";
    case EFM8_ERR_SEVERAL: return "several EFM8 bootloaders are attached and none was chosen";
    case EFM8_ERR_ACCESS: return "no permission to open the bootloader";
    case EFM8_ERR_OPEN: return "the bootloader could not be opened";
    case EFM8_ERR_OPTIONS: return "the write size must be 1 to 128 bytes";
    default: return "unknown error";
    }
}

static const char *command_name(uint8_t command)
{
    switch (command) {
    case EFM8_CMD_IDENTIFY: return "identify";
    case EFM8_CMD_SETUP: return "setup";
    case EFM8_CMD_ERASE: return "erase";
    case EFM8_CMD_WRITE: return "write";
    case EFM8_CMD_VERIFY: return "verify";
    case EFM8_CMD_RUNAPP: return "run application";
    default: return "command";
    }
}

static const char *reply_meaning(int32_t reply)
{
    switch (reply) {
    case REPLY_ACK: return "accepted";
    case REPLY_RANGE: return "address out of range";
    case REPLY_BAD_ID: return "wrong device id";
    case REPLY_BAD_CRC: return "CRC mismatch";
    case REPLY_VERSION: return "unknown command";
    default: return "unexpected reply";
    }
}

int32_t efm8_describe(const struct efm8_report *report, char *text, size_t size)
{
    const char *command = command_name(report->command);
    switch (report->result) {
    case EFM8_ERR_REFUSED:
        if (report->reply >= 0x20 && report->reply < 0x7F)
            return snprintf(text, size, "the bootloader refused the %s at 0x%04X with '%c' (%s)", command,
                            report->address, report->reply, reply_meaning(report->reply));
        return snprintf(text, size, "the bootloader refused the %s at 0x%04X with 0x%02X (%s)", command,
                        report->address, report->reply, reply_meaning(report->reply));
    case EFM8_ERR_TRANSFER:
        return snprintf(text, size,
                        "the USB transfer of the %s at 0x%04X failed (%s%shidapi: %s); "
                        "the board may have been unplugged or reset",
                        command, report->address, report->os_error ? strerror(report->os_error) : "",
                        report->os_error ? "; " : "", report->usb_error[0] ? report->usb_error : "no reason given");
    case EFM8_ERR_MISMATCH:
        if (report->pages_differ > 0)
            return snprintf(text, size, "the chip's flash differs from the image in %u page%s", report->pages_differ,
                            report->pages_differ == 1 ? "" : "s");
        return snprintf(text, size, "the chip's flash does not match the image after writing (CRC check failed)");
    default:
        return snprintf(text, size, "%s", efm8_strerror(report->result));
    }
}
