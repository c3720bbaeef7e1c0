// The USB transport: each record goes out as one HID feature report (report
// id 0, which hidapi does not send as data) and its reply comes back in one
// 8-byte feature report, the id byte and the device's seven.
#include "transport/transport.h"

#include "protocol/parts.h"

#include <errno.h>
#include <fcntl.h>
#include <hidapi.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <wchar.h>

static const size_t REPLY_SIZE = 8;

struct usb_transport {
    struct efm8_transport base;  // first, so the one points at the other
    hid_device *dev;
    uint8_t report[1 + EFM8_RECORD_MAX];  // the report id, then the record
    uint8_t reply[REPLY_SIZE];
};

// hidapi sets itself up on first use, but not safely from two threads at once.
static pthread_once_t hidapi_ready = PTHREAD_ONCE_INIT;

static void init_hidapi(void)
{
    hid_init();
}

static void keep_hidapi_error(struct usb_transport *usb, int os_error)
{
    char text[sizeof usb->base.error];
    const wchar_t *said = hid_error(usb->dev);
    size_t i = 0;
    for (; said != NULL && said[i] != 0 && i + 1 < sizeof text; ++i)
        text[i] = said[i] < 0x80 ? (char)said[i] : '?';
    text[i] = 0;
    transport_set_error(&usb->base, os_error, text);
}

static int32_t usb_exchange(struct efm8_transport *self, const uint8_t *record, size_t len)
{
    struct usb_transport *usb = (struct usb_transport *)self;
    usb->report[0] = 0;
    memcpy(&usb->report[1], record, len);
    errno = 0;
    int r = hid_send_feature_report(usb->dev, usb->report, len + 1);
    if (r >= 0)
        r = hid_get_feature_report(usb->dev, usb->reply, REPLY_SIZE);
    if (r < 0) {
        keep_hidapi_error(usb, errno);
        return EFM8_ERR_TRANSFER;
    }
    if (r < 2) {
        transport_set_error(self, 0, "the reply report carried no reply code");
        return EFM8_ERR_TRANSFER;
    }
    return usb->reply[1];
}

static void usb_close(struct efm8_transport *self)
{
    struct usb_transport *usb = (struct usb_transport *)self;
    hid_close(usb->dev);
    free(usb);
}

// False for what is not a bootloader, or has a path too long to keep.
static bool describe_device(const struct hid_device_info *info, struct efm8_device *device)
{
    const struct efm8_family *family = family_of_product(info->product_id);
    if (family == NULL || info->path == NULL || strlen(info->path) >= EFM8_PATH_MAX)
        return false;
    memset(device, 0, sizeof *device);
    snprintf(device->path, sizeof device->path, "%s", info->path);
    device->interface = EFM8_USB;
    device->vendor_id = info->vendor_id;
    device->product_id = info->product_id;
    device->family = family->name;
    return true;
}

int32_t usb_transport_list(struct efm8_device *devices, int32_t max)
{
    pthread_once(&hidapi_ready, init_hidapi);
    struct hid_device_info *all = hid_enumerate(EFM8_USB_VENDOR_ID, 0);
    int32_t count = 0;
    for (const struct hid_device_info *info = all; info != NULL; info = info->next) {
        struct efm8_device device;
        if (!describe_device(info, &device))
            continue;
        insert_sorted_by_path(devices, count < max ? count : max, max, device);
        ++count;
    }
    hid_free_enumeration(all);
    return count;
}

// The bootloader at path, or with path NULL the only one attached.
static int32_t choose_device(const char *path, struct efm8_device *chosen)
{
    struct hid_device_info *all = hid_enumerate(EFM8_USB_VENDOR_ID, 0);
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

int32_t usb_transport_open(const char *path, struct efm8_device *device, struct efm8_transport **transport)
{
    *transport = NULL;
    pthread_once(&hidapi_ready, init_hidapi);
    const int32_t chosen = choose_device(path, device);
    if (chosen != EFM8_OK)
        return chosen;
    hid_device *dev = hid_open_path(device->path);
    if (dev == NULL)
        return access_denied(device->path) ? EFM8_ERR_ACCESS : EFM8_ERR_OPEN;
    struct usb_transport *usb = (struct usb_transport *)calloc(1, sizeof *usb);
    if (usb == NULL) {
        hid_close(dev);
        return EFM8_ERR_OPEN;
    }
    hid_set_nonblocking(dev, 0);
    usb->dev = dev;
    usb->base.exchange = usb_exchange;
    usb->base.close = usb_close;
    usb->base.interface = EFM8_USB;
    *transport = &usb->base;
    return EFM8_OK;
}

// An application's own way into its bootloader: one output report to the
// only HID device with its USB id. hidapi takes the report id as the
// report's first byte.
int32_t usb_transport_enter(uint16_t vendor_id, uint16_t product_id, const uint8_t *report, size_t length)
{
    pthread_once(&hidapi_ready, init_hidapi);
    struct hid_device_info *all = hid_enumerate(vendor_id, product_id);
    int32_t found = 0;
    char path[EFM8_PATH_MAX] = "";
    for (const struct hid_device_info *info = all; info != NULL; info = info->next)
        if (info->path != NULL && strcmp(info->path, path) != 0 && ++found == 1)
            snprintf(path, sizeof path, "%s", info->path);
    hid_free_enumeration(all);
    if (found != 1)
        return found == 0 ? EFM8_ERR_NO_DEVICE : EFM8_ERR_SEVERAL;
    hid_device *dev = hid_open_path(path);
    if (dev == NULL)
        return access_denied(path) ? EFM8_ERR_ACCESS : EFM8_ERR_OPEN;
    const int written = hid_write(dev, report, length);
    hid_close(dev);
    return written < 0 ? EFM8_ERR_TRANSFER : EFM8_OK;
}
