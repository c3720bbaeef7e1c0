#include "usb_emulator.h"

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace usbemu {

// A URB as the client submitted it: the resolved struct and its buffer,
// kept until it is reaped. As in usbfs, it belongs to the open file that
// submitted it: only that file reaps or discards it.
struct UrbState {
    UMockdevIoctlClient *client;
    UMockdevIoctlData *urb_data;
    UMockdevIoctlData *buffer_data;
    usbdevfs_urb *urb() const { return reinterpret_cast<usbdevfs_urb *>(urb_data->data); }
};

static const std::uint8_t REQUEST_GET_DESCRIPTOR = 0x06;
static const std::uint8_t HID_SET_REPORT = 0x09;
static const std::uint8_t HID_GET_REPORT = 0x01;
static const std::uint16_t FEATURE_REPORT_0 = 0x0300;
static const std::size_t SETUP_SIZE = 8;
static const std::size_t REPLY_SIZE = 7;
static const ssize_t PIPE_PAGE = 4096;  // a pipe frees or fills one page at a time

// Device, configuration, HID interface, HID class and interrupt IN endpoint
// descriptors of a full-speed HID device.
static std::string descriptors_hex(std::uint16_t vendor_id, std::uint16_t product_id)
{
    char device[64];
    std::snprintf(device, sizeof device, "12010002000000%02x%02x%02x%02x%02x000101020001", 64,
                  vendor_id & 0xFF, vendor_id >> 8, product_id & 0xFF, product_id >> 8);
    return std::string(device) +
           "0902220001010080" "32"   // configuration, 34 bytes in all, bus powered 100 mA
           "090400000103000000"      // interface 0, one endpoint, class HID
           "092111010001222200"      // HID 1.11, one report descriptor of 34 bytes
           "0705810340000a";         // endpoint 0x81, interrupt IN, 64 bytes, 10 ms
}

static std::vector<std::uint8_t> string_descriptor(std::uint8_t index)
{
    if (index == 0)
        return {4, 3, 0x09, 0x04};  // English (US)
    const char *text = index == 1 ? "Silicon Labs" : "EFM8UB1 Bootloader";
    std::vector<std::uint8_t> out = {0, 3};
    for (const char *c = text; *c; ++c) {
        out.push_back(static_cast<std::uint8_t>(*c));
        out.push_back(0);
    }
    out[0] = static_cast<std::uint8_t>(out.size());
    return out;
}

struct Handler {
    Emulator &emulator;
    Device &device;

    // libusb polls the node for POLLOUT, which usbfs raises while a URB
    // waits to be reaped. The node is a FIFO kept full, so not writable,
    // except while a URB is done: an idle open handle costs no CPU.
    void update_wakeup()
    {
        static std::uint8_t page[PIPE_PAGE];
        const bool want = !device.done.empty();
        if (want && !device.signalled)
            device.signalled = read(device.wake_fd, page, PIPE_PAGE) == PIPE_PAGE;
        else if (!want && device.signalled)
            device.signalled = write(device.wake_fd, page, PIPE_PAGE) != PIPE_PAGE;
    }

    void finish(UrbState *state, int status, int actual_length)
    {
        state->urb()->status = status;
        state->urb()->actual_length = actual_length;
        device.done.push_back(state);
    }

    void control(UrbState *state)
    {
        std::uint8_t *buffer = state->buffer_data->data;
        const ControlTransfer setup = {buffer[0], buffer[1],
                                       static_cast<std::uint16_t>(buffer[2] | buffer[3] << 8),
                                       static_cast<std::uint16_t>(buffer[4] | buffer[5] << 8),
                                       static_cast<std::uint16_t>(buffer[6] | buffer[7] << 8)};
        device.controls.push_back(setup);
        std::uint8_t *data = buffer + SETUP_SIZE;
        const std::size_t room = std::min<std::size_t>(setup.length, state->urb()->buffer_length - SETUP_SIZE);
        const bool set_report = setup.request_type == 0x21 && setup.request == HID_SET_REPORT;
        const bool get_report = setup.request_type == 0xA1 && setup.request == HID_GET_REPORT;
        if (set_report || get_report) {
            const std::size_t index = device.reports++;
            if (index == device.fail_report)
                return finish(state, device.fail_status, 0);
            if (index == device.silent_report) {
                device.pending.push_back(state);
                return;
            }
            if (setup.value != FEATURE_REPORT_0)
                return finish(state, -EPIPE, 0);
        }
        if (set_report) {
            device.model.receive(data, room);
            return finish(state, 0, static_cast<int>(room));
        }
        if (get_report) {
            const std::size_t n = std::min(room, REPLY_SIZE);
            std::memset(data, 0, n);
            if (n > 0)
                data[0] = device.model.take_reply();
            return finish(state, 0, static_cast<int>(n));
        }
        if (setup.request_type == 0x80 && setup.request == REQUEST_GET_DESCRIPTOR &&
            setup.value >> 8 == 3) {
            const std::vector<std::uint8_t> text = string_descriptor(setup.value & 0xFF);
            const std::size_t n = std::min(room, text.size());
            std::memcpy(data, text.data(), n);
            return finish(state, 0, static_cast<int>(n));
        }
        finish(state, -EPIPE, 0);  // a stall, as a device does for what it does not know
    }

    long submit(UMockdevIoctlClient *client, UMockdevIoctlData *arg, int *error)
    {
        UMockdevIoctlData *urb_data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
        if (!urb_data) {
            *error = EFAULT;
            return -1;
        }
        const usbdevfs_urb *urb = reinterpret_cast<usbdevfs_urb *>(urb_data->data);
        UMockdevIoctlData *buffer_data = umockdev_ioctl_data_resolve(
            urb_data, offsetof(usbdevfs_urb, buffer), static_cast<gsize>(urb->buffer_length), nullptr);
        if (!buffer_data) {
            *error = EFAULT;
            return -1;
        }
        if (urb->type == USBDEVFS_URB_TYPE_CONTROL && device.reports == device.unplug_at_report) {
            emulator.unplug_locked(device);
            *error = ENODEV;
            return -1;
        }
        auto *state = new UrbState{static_cast<UMockdevIoctlClient *>(g_object_ref(client)),
                                   static_cast<UMockdevIoctlData *>(g_object_ref(urb_data)),
                                   static_cast<UMockdevIoctlData *>(g_object_ref(buffer_data))};
        if (urb->type == USBDEVFS_URB_TYPE_CONTROL && urb->buffer_length >= int(SETUP_SIZE))
            control(state);
        else
            device.pending.push_back(state);  // the interrupt IN reader: nothing to report
        return 0;
    }

    long reap(UMockdevIoctlClient *client, UMockdevIoctlData *arg, int *error)
    {
        auto it = std::find_if(device.done.begin(), device.done.end(),
                               [&](UrbState *state) { return state->client == client; });
        if (it == device.done.end()) {
            *error = device.gone ? ENODEV : EAGAIN;
            return -1;
        }
        // The argument points at the client's URB pointer, which gets the
        // address of the URB being handed back.
        UMockdevIoctlData *slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void *), nullptr);
        if (!slot) {
            *error = EFAULT;
            return -1;
        }
        UrbState *state = *it;
        device.done.erase(it);
        umockdev_ioctl_data_set_ptr(slot, 0, state->urb_data);
        release(state);
        if (!device.model.on_bus() && !device.gone)
            emulator.unplug_locked(device);  // run application: the chip resets and leaves
        return 0;
    }

    // A URB given up: the interrupt IN reader at close, or a transfer its
    // client timed out on.
    long discard(UMockdevIoctlClient *client, UMockdevIoctlData *arg, int *error)
    {
        gulong address = 0;
        std::memcpy(&address, arg->data, sizeof address);
        for (auto it = device.pending.begin(); it != device.pending.end(); ++it) {
            if ((*it)->client == client && (*it)->urb_data->client_addr == address) {
                finish(*it, -ENOENT, 0);
                device.pending.erase(it);
                return 0;
            }
        }
        *error = EINVAL;
        return -1;
    }

    long answer(UMockdevIoctlClient *client, int *error)
    {
        const gulong request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
        // Once unplugged, only what was given back can still be reaped.
        if (device.gone && request != USBDEVFS_REAPURBNDELAY) {
            *error = ENODEV;
            return -1;
        }
        switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData *caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(std::uint32_t), nullptr);
            const std::uint32_t none = 0;
            std::memcpy(caps->data, &none, sizeof none);
            return 0;
        }
        case USBDEVFS_GETDRIVER: {
            UMockdevIoctlData *driver = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_getdriver), nullptr);
            auto *answer = reinterpret_cast<usbdevfs_getdriver *>(driver->data);
            std::snprintf(answer->driver, sizeof answer->driver, "usbhid");
            return 0;
        }
        case USBDEVFS_IOCTL: {
            UMockdevIoctlData *command = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_ioctl), nullptr);
            const int code = reinterpret_cast<usbdevfs_ioctl *>(command->data)->ioctl_code;
            if (code == USBDEVFS_CONNECT) {
                ++device.reconnects;
                return 1;
            }
            return 0;
        }
        case USBDEVFS_CLAIMINTERFACE:
            ++device.claims;
            drop_closed_files_urbs();
            return 0;
        case USBDEVFS_RELEASEINTERFACE:
            ++device.releases;
            return 0;
        case USBDEVFS_SUBMITURB:
            return submit(client, arg, error);
        case USBDEVFS_REAPURBNDELAY:
            return reap(client, arg, error);
        case USBDEVFS_DISCARDURB:
            return discard(client, arg, error);
        default:
            *error = ENOTTY;
            return -1;
        }
    }

    // URBs a closed file left behind are dropped when the next open claims.
    void drop_closed_files_urbs()
    {
        drop_urbs_if([](UrbState *state) { return !umockdev_ioctl_client_get_connected(state->client); });
    }

    void drop_all_urbs()
    {
        drop_urbs_if([](UrbState *) { return true; });
    }

    template <typename Test>
    void drop_urbs_if(Test test)
    {
        for (std::list<UrbState *> *urbs : {&device.pending, &device.done}) {
            urbs->remove_if([&](UrbState *state) {
                if (!test(state))
                    return false;
                release(state);
                return true;
            });
        }
    }

    static void release(UrbState *state)
    {
        g_object_unref(state->client);
        g_object_unref(state->buffer_data);
        g_object_unref(state->urb_data);
        delete state;
    }
};

static gboolean on_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer user)
{
    Handler &handler = *static_cast<Handler *>(user);
    long result;
    int error = 0;
    {
        std::lock_guard<std::mutex> guard(handler.emulator.lock());
        result = handler.answer(client, &error);
        handler.update_wakeup();
    }
    umockdev_ioctl_client_complete(client, result, error);
    return TRUE;
}

Emulator::Emulator() : testbed_(umockdev_testbed_new())
{
    // Only a testbed tells whether the preload library is there to use it.
    if (!umockdev_in_mock_environment()) {
        g_object_unref(testbed_);
        throw std::runtime_error("not under umockdev's preload library: run through umockdev-wrapper");
    }
    gchar *root = umockdev_testbed_get_root_dir(testbed_);
    root_ = root;
    g_free(root);
}

Emulator::~Emulator()
{
    for (Device &device : devices_) {
        device.handler->drop_all_urbs();
        delete device.handler;
        close(device.wake_fd);
    }
    g_object_unref(testbed_);
}

Device &Emulator::attach(std::uint16_t vendor_id, std::uint16_t product_id)
{
    std::lock_guard<std::mutex> guard(mutex_);
    const int devnum = next_devnum_++;
    char sysfs[128], node[64];
    std::snprintf(sysfs, sizeof sysfs, "/devices/pci0000:00/0000:00:14.0/usb1/1-%d", devnum);
    std::snprintf(node, sizeof node, "bus/usb/001/%03d", devnum);
    char description[1024];
    std::snprintf(description, sizeof description,
                  "P: %s\n"
                  "N: %s\n"
                  "E: DEVNAME=/dev/%s\n"
                  "E: DEVTYPE=usb_device\n"
                  "E: SUBSYSTEM=usb\n"
                  "A: busnum=1\\n\n"
                  "A: devnum=%d\\n\n"
                  "A: speed=12\\n\n"
                  "A: bConfigurationValue=1\\n\n"
                  "H: descriptors=%s\n",
                  sysfs, node, node, devnum, descriptors_hex(vendor_id, product_id).c_str());
    GError *error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, description, &error))
        throw std::runtime_error(std::string("umockdev could not add the device: ") + error->message);

    Device &device = devices_.emplace_back();
    device.sysfs_path = std::string("/sys") + sysfs;
    device.node = root_ + "/dev/" + node;
    unlink(device.node.c_str());
    if (mkfifo(device.node.c_str(), 0666) != 0)
        throw std::runtime_error("cannot make the device node a FIFO: " + device.node);
    device.wake_fd = open(device.node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (device.wake_fd < 0)
        throw std::runtime_error("cannot open the device node FIFO: " + device.node);
    static const std::uint8_t page[PIPE_PAGE] = {};
    while (write(device.wake_fd, page, PIPE_PAGE) == PIPE_PAGE) {
    }

    device.handler = new Handler{*this, device};
    UMockdevIoctlBase *ioctls = umockdev_ioctl_base_new();
    g_signal_connect(ioctls, "handle-ioctl", G_CALLBACK(on_ioctl), device.handler);
    if (!umockdev_testbed_attach_ioctl(testbed_, ("/dev/" + std::string(node)).c_str(), ioctls, &error))
        throw std::runtime_error(std::string("umockdev could not attach the handler: ") + error->message);
    g_object_unref(ioctls);
    umockdev_testbed_uevent(testbed_, device.sysfs_path.c_str(), "add");
    return device;
}

void Emulator::unplug_locked(Device &device)
{
    device.gone = true;
    for (UrbState *state : device.pending) {
        state->urb()->status = -ENODEV;
        device.done.push_back(state);
    }
    device.pending.clear();
    umockdev_testbed_uevent(testbed_, device.sysfs_path.c_str(), "remove");
    umockdev_testbed_remove_device(testbed_, device.sysfs_path.c_str());
}

void Emulator::detach(Device &device)
{
    std::lock_guard<std::mutex> guard(mutex_);
    if (!device.gone)
        unplug_locked(device);
    device.handler->update_wakeup();
}

void Emulator::deny_access(Device &device)
{
    chmod(device.node.c_str(), 0);
}

}  // namespace usbemu
