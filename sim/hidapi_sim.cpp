// A stand-in for hidapi's C API over simulated devices. Feature reports reach
// the bootloader model the way hidapi-libusb carries them: with report id 0
// the id byte is not sent, and a reply read hands back the id byte followed by
// the device's reply, counting both.
#include "hidsim.h"

#include <hidapi.h>
#include <hidapi_libusb.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <list>
#include <mutex>
#include <string>

struct hid_device_ {
    hidsim::Device *device;
};

namespace hidsim {

static const std::size_t REPLY_BYTES = 7;  // what the device's reply report carries

// The lock covers the device list, the counters and the observer; a
// device's own transfers run outside it, so boards driven from several
// threads overlap as real ones do.
struct Bus {
    std::mutex lock;
    std::list<Device> devices;  // a list keeps references stable
    Counters counters;
    std::function<void(const char *)> observer;
};

static Bus &bus()
{
    static Bus instance;
    return instance;
}

Device &attach(std::uint16_t vendor_id, std::uint16_t product_id)
{
    std::lock_guard<std::mutex> guard(bus().lock);
    Device &device = bus().devices.emplace_back();
    device.vendor_id = vendor_id;
    device.product_id = product_id;
    return device;
}

void detach(Device &device)
{
    std::lock_guard<std::mutex> guard(bus().lock);
    device.plugged = false;
}

void reset()
{
    std::lock_guard<std::mutex> guard(bus().lock);
    bus().devices.clear();
    bus().counters = Counters{};
}

const Counters &counters()
{
    return bus().counters;
}

void observe(std::function<void(const char *event)> observer)
{
    bus().observer = std::move(observer);
}

// Callers hold the bus lock.
static void tell(const std::string &event)
{
    if (bus().observer)
        bus().observer(event.c_str());
}

static bool reachable(const Device &device)
{
    return device.plugged && device.model.on_bus();
}

static bool matches(const Device &device, unsigned short vendor_id, unsigned short product_id)
{
    return (vendor_id == 0 || vendor_id == device.vendor_id) &&
           (product_id == 0 || product_id == device.product_id);
}

static void count_call()
{
    std::lock_guard<std::mutex> guard(bus().lock);
    ++bus().counters.calls;
}

static Device *counted_call(hid_device *dev)
{
    count_call();
    return dev ? dev->device : nullptr;
}

static std::string path_of(int index)
{
    return "sim:" + std::to_string(index);
}

// Callers hold the bus lock.
static hid_device *open_device(Device &device)
{
    if (!reachable(device) || device.deny_open)
        return nullptr;
    ++device.opens;
    ++bus().counters.open_handles;
    tell("open");
    return new hid_device_{&device};
}

}  // namespace hidsim

using hidsim::bus;

extern "C" {

int hid_init(void)
{
    hidsim::count_call();
    return 0;
}

int hid_exit(void)
{
    hidsim::count_call();
    return 0;
}

struct hid_device_info *hid_enumerate(unsigned short vendor_id, unsigned short product_id)
{
    std::lock_guard<std::mutex> guard(bus().lock);
    ++bus().counters.calls;
    ++bus().counters.enumerations;
    hid_device_info *head = nullptr;
    hid_device_info **tail = &head;
    int index = 0, found = 0;
    for (hidsim::Device &device : bus().devices) {
        ++index;
        if (!hidsim::reachable(device) || !hidsim::matches(device, vendor_id, product_id))
            continue;
        auto *info = static_cast<hid_device_info *>(std::calloc(1, sizeof(hid_device_info)));
        info->path = strdup(hidsim::path_of(index).c_str());
        info->vendor_id = device.vendor_id;
        info->product_id = device.product_id;
        info->serial_number = wcsdup(L"");
        info->manufacturer_string = wcsdup(L"Silicon Labs");
        info->product_string = wcsdup(L"EFM8UB1 Bootloader");
        info->bus_type = HID_API_BUS_USB;
        *tail = info;
        tail = &info->next;
        ++bus().counters.live_list_entries;
        ++found;
    }
    hidsim::tell("enumerate " + std::to_string(found) + " found");
    return head;
}

void hid_free_enumeration(struct hid_device_info *devs)
{
    std::lock_guard<std::mutex> guard(bus().lock);
    ++bus().counters.calls;
    while (devs) {
        hid_device_info *next = devs->next;
        std::free(devs->path);
        std::free(devs->serial_number);
        std::free(devs->manufacturer_string);
        std::free(devs->product_string);
        std::free(devs);
        --bus().counters.live_list_entries;
        devs = next;
    }
}

// Like hidapi, the first matching device is opened; if that fails, nothing is.
hid_device *hid_open(unsigned short vendor_id, unsigned short product_id, const wchar_t *)
{
    std::lock_guard<std::mutex> guard(bus().lock);
    ++bus().counters.calls;
    for (hidsim::Device &device : bus().devices)
        if (hidsim::reachable(device) && hidsim::matches(device, vendor_id, product_id))
            return hidsim::open_device(device);
    return nullptr;
}

hid_device *hid_open_path(const char *path)
{
    std::lock_guard<std::mutex> guard(bus().lock);
    ++bus().counters.calls;
    int index = 0;
    for (hidsim::Device &device : bus().devices)
        if (hidsim::path_of(++index) == path)
            return hidsim::open_device(device);
    return nullptr;
}

hid_device *hid_libusb_wrap_sys_device(intptr_t, int)
{
    hidsim::count_call();
    return nullptr;
}

void hid_close(hid_device *dev)
{
    std::lock_guard<std::mutex> guard(bus().lock);
    ++bus().counters.calls;
    hidsim::Device *device = dev ? dev->device : nullptr;
    if (!device)
        return;
    ++device->closes;
    --bus().counters.open_handles;
    hidsim::tell("close");
    delete dev;
}

int hid_set_nonblocking(hid_device *dev, int nonblock)
{
    hidsim::Device *device = hidsim::counted_call(dev);
    if (!device || nonblock != 0)
        return -1;  // the simulation answers in blocking mode only
    ++device->blocking_mode_sets;
    return 0;
}

int hid_send_feature_report(hid_device *dev, const unsigned char *data, size_t length)
{
    hidsim::Device *device = hidsim::counted_call(dev);
    if (!device || length == 0)
        return -1;
    const std::size_t index = device->sends++;
    if (!hidsim::reachable(*device) || index == device->fail_send)
        return -1;
    // With report id 0 the id byte is not sent; any other id goes out as data.
    if (data[0] == 0)
        device->model.receive(data + 1, length - 1);
    else
        device->model.receive(data, length);
    return static_cast<int>(length);
}

int hid_get_feature_report(hid_device *dev, unsigned char *data, size_t length)
{
    hidsim::Device *device = hidsim::counted_call(dev);
    if (!device || length == 0)
        return -1;
    const std::size_t index = device->reads++;
    if (!hidsim::reachable(*device) || index == device->fail_read)
        return -1;
    if (index == device->short_read)
        return 1;
    unsigned char reply[hidsim::REPLY_BYTES] = {device->model.take_reply()};
    const std::size_t copied = std::min(length - 1, hidsim::REPLY_BYTES);
    std::memcpy(data + 1, reply, copied);
    return static_cast<int>(copied + 1);
}

// The bootloader speaks through feature reports only; an application may
// take output reports.
int hid_write(hid_device *dev, const unsigned char *data, size_t length)
{
    hidsim::Device *device = hidsim::counted_call(dev);
    if (!device || !hidsim::reachable(*device) || !device->on_write || length == 0)
        return -1;
    return device->on_write(data, length);
}

int hid_read_timeout(hid_device *dev, unsigned char *, size_t, int)
{
    hidsim::counted_call(dev);
    return -1;
}

int hid_read(hid_device *dev, unsigned char *, size_t)
{
    hidsim::counted_call(dev);
    return -1;
}

int hid_get_input_report(hid_device *dev, unsigned char *, size_t)
{
    hidsim::counted_call(dev);
    return -1;
}

int hid_get_manufacturer_string(hid_device *dev, wchar_t *, size_t)
{
    hidsim::counted_call(dev);
    return -1;
}

int hid_get_product_string(hid_device *dev, wchar_t *, size_t)
{
    hidsim::counted_call(dev);
    return -1;
}

int hid_get_serial_number_string(hid_device *dev, wchar_t *, size_t)
{
    hidsim::counted_call(dev);
    return -1;
}

struct hid_device_info *hid_get_device_info(hid_device *dev)
{
    hidsim::counted_call(dev);
    return nullptr;
}

int hid_get_indexed_string(hid_device *dev, int, wchar_t *, size_t)
{
    hidsim::counted_call(dev);
    return -1;
}

const wchar_t *hid_error(hid_device *dev)
{
    hidsim::counted_call(dev);
    return L"simulated hidapi: operation not supported";
}

const struct hid_api_version *hid_version(void)
{
    static const hid_api_version version = {HID_API_VERSION_MAJOR, HID_API_VERSION_MINOR, HID_API_VERSION_PATCH};
    hidsim::count_call();
    return &version;
}

const char *hid_version_str(void)
{
    hidsim::count_call();
    return HID_API_VERSION_STR;
}

}  // extern "C"
