// The serial ports of this machine, as udev lists them.
#include "transport/transport.h"

#include <libudev.h>
#include <stdlib.h>

// Listing: udev's tty devices that sit on hardware. Platform 8250 ports
// exist whether or not a UART is behind them, so they are left out.

static void copy_attribute(struct udev_device *device, const char *name, char *to, size_t size)
{
    const char *value = device != NULL ? udev_device_get_sysattr_value(device, name) : NULL;
    snprintf(to, size, "%s", value != NULL ? value : "");
}

static uint16_t hex_attribute(struct udev_device *device, const char *name)
{
    const char *value = udev_device_get_sysattr_value(device, name);
    return value != NULL ? (uint16_t)strtoul(value, NULL, 16) : 0;
}

static bool describe_port(struct udev_device *tty, struct efm8_port *port)
{
    struct udev_device *parent = udev_device_get_parent(tty);
    const char *node = udev_device_get_devnode(tty);
    if (parent == NULL || node == NULL || strlen(node) >= EFM8_PATH_MAX)
        return false;
    const char *parent_name = udev_device_get_sysname(parent);
    if (parent_name != NULL && strcmp(parent_name, "serial8250") == 0)
        return false;
    memset(port, 0, sizeof *port);
    snprintf(port->path, sizeof port->path, "%s", node);
    struct udev_device *usb = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device");
    if (usb != NULL) {
        port->vendor_id = hex_attribute(usb, "idVendor");
        port->product_id = hex_attribute(usb, "idProduct");
    }
    copy_attribute(usb, "manufacturer", port->manufacturer, sizeof port->manufacturer);
    copy_attribute(usb, "product", port->product, sizeof port->product);
    copy_attribute(usb, "serial", port->serial, sizeof port->serial);
    return true;
}

int32_t serial_transport_list(struct efm8_port *ports, int32_t max)
{
    struct udev *udev = udev_new();
    if (udev == NULL)
        return 0;
    struct udev_enumerate *enumerate = udev_enumerate_new(udev);
    int32_t count = 0;
    if (enumerate != NULL && udev_enumerate_add_match_subsystem(enumerate, "tty") >= 0 &&
        udev_enumerate_scan_devices(enumerate) >= 0) {
        struct udev_list_entry *entry;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate))
        {
            struct udev_device *tty = udev_device_new_from_syspath(udev, udev_list_entry_get_name(entry));
            struct efm8_port port;
            if (tty != NULL && describe_port(tty, &port)) {
                insert_sorted_by_path(ports, count < max ? count : max, max, port);
                ++count;
            }
            udev_device_unref(tty);
        }
    }
    udev_enumerate_unref(enumerate);
    udev_unref(udev);
    return count;
}
