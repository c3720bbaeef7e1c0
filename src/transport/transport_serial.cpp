// The serial transport: each record goes out as its bytes, and the
// bootloader answers with one byte. The port is raw 8N1 without flow
// control, so every byte passes as it is in both directions, and it is held
// by this process alone.
#include "transport/transport.h"

#include <array>

#include <errno.h>
#include <fcntl.h>
#include <libudev.h>
#include <linux/serial.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

// The bootloader measures the baud rate on the first byte it receives.
static const uint8_t TRAINING_BYTE = 0xFF;

struct serial_transport {
    struct efm8_transport base;  // first, so the one points at the other
    int fd;
    int timeout_ms;
    bool held;  // its exclusive flag set by this process
};

struct baud_rate {
    uint32_t baud;
    speed_t speed;
};

// What the bootloader's autobaud takes (57600 not on the UB parts), as
// termios names it.
static const struct baud_rate BAUD_RATES[] = {
    {57600, B57600},
    {115200, B115200},
    {230400, B230400},
    {460800, B460800},
};

static speed_t speed_of(uint32_t baud)
{
    for (const struct baud_rate &rate : BAUD_RATES)
        if (rate.baud == baud)
            return rate.speed;
    return B0;
}

static long long now_ms(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

static int32_t fail(struct serial_transport *serial, int os_error, const char *text)
{
    transport_set_error(&serial->base, os_error, text);
    return EFM8_ERR_TRANSFER;
}

static int32_t hung_up(struct serial_transport *serial, int os_error)
{
    return fail(serial, os_error, "the port hung up: the adapter was unplugged or the line dropped");
}

static int32_t timed_out(struct serial_transport *serial)
{
    char text[64];
    snprintf(text, sizeof text, "no reply within %g s", serial->timeout_ms / 1000.0);
    return fail(serial, ETIMEDOUT, text);
}

// Waits for events on the port until the deadline: 1 when they came, 0 at
// the deadline, or a failure.
static int32_t wait_for(struct serial_transport *serial, short events, long long deadline)
{
    for (;;) {
        const long long left = deadline - now_ms();
        if (left <= 0)
            return 0;
        struct pollfd port = {serial->fd, events, 0};
        const int ready = poll(&port, 1, (int)left);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return fail(serial, errno, strerror(errno));
        if (ready == 0)
            return 0;
        if (port.revents & events)
            return 1;
        return hung_up(serial, EPIPE);  // POLLHUP or POLLERR without the event
    }
}

static int32_t write_all(struct serial_transport *serial, const uint8_t *bytes, size_t len, long long deadline)
{
    while (len > 0) {
        const ssize_t written = write(serial->fd, bytes, len);
        if (written > 0) {
            bytes += written;
            len -= (size_t)written;
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && errno != EAGAIN)
            return errno == EIO || errno == ENXIO ? hung_up(serial, errno) : fail(serial, errno, strerror(errno));
        const int32_t ready = wait_for(serial, POLLOUT, deadline);
        if (ready <= 0)
            return ready < 0 ? ready : fail(serial, ETIMEDOUT, "the port took nothing: is the flow control stuck?");
    }
    return EFM8_OK;
}

static int32_t read_reply(struct serial_transport *serial, long long deadline)
{
    for (;;) {
        const int32_t ready = wait_for(serial, POLLIN, deadline);
        if (ready < 0)
            return ready;
        if (ready == 0)
            return timed_out(serial);
        uint8_t reply;
        const ssize_t got = read(serial->fd, &reply, 1);
        if (got == 1)
            return reply;
        if (got == 0)
            return hung_up(serial, EPIPE);
        if (errno != EAGAIN && errno != EINTR)
            return errno == EIO || errno == ENXIO ? hung_up(serial, errno) : fail(serial, errno, strerror(errno));
    }
}

static int32_t serial_exchange(struct efm8_transport *self, const uint8_t *record, size_t len)
{
    struct serial_transport *serial = (struct serial_transport *)self;
    // A byte that came unasked (a late reply, an application's output) is
    // not this record's reply.
    tcflush(serial->fd, TCIFLUSH);
    const int32_t sent = write_all(serial, record, len, now_ms() + serial->timeout_ms);
    if (sent != EFM8_OK)
        return sent;
    return read_reply(serial, now_ms() + serial->timeout_ms);
}

static void serial_close(struct efm8_transport *self)
{
    struct serial_transport *serial = (struct serial_transport *)self;
    if (serial->held)
        serial_unhold(serial->fd);
    close(serial->fd);
    free(serial);
}

static int32_t open_failure(int os_error)
{
    switch (os_error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR: return EFM8_ERR_NO_DEVICE;
    case EISDIR: return EFM8_ERR_NOT_PORT;
    case EACCES:
    case EPERM: return EFM8_ERR_ACCESS;
    case EBUSY: return EFM8_ERR_BUSY;
    default: return EFM8_ERR_OPEN;
    }
}

// Raw 8N1 at the speed asked, no flow control, reads that never block.
static bool configure(int fd, speed_t speed)
{
    struct termios settings;
    if (tcgetattr(fd, &settings) != 0)
        return false;
    cfmakeraw(&settings);
    settings.c_iflag &= ~(tcflag_t)(IXON | IXOFF | IXANY);
    settings.c_cflag &= ~(tcflag_t)(CSIZE | CSTOPB | PARENB | CRTSCTS);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    if (cfsetispeed(&settings, speed) != 0 || cfsetospeed(&settings, speed) != 0)
        return false;
    if (tcsetattr(fd, TCSANOW, &settings) != 0)
        return false;
    // tcsetattr succeeds when any one change was made: check the speed.
    struct termios got;
    return tcgetattr(fd, &got) == 0 && cfgetospeed(&got) == speed;
}

// USB-serial adapters hold received bytes for up to 16 ms unless asked not
// to; ports that do not know the request are fast or not real.
static void ask_low_latency(int fd)
{
    struct serial_struct serial;
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0)
        return;
    serial.flags |= ASYNC_LOW_LATENCY;
    ioctl(fd, TIOCSSERIAL, &serial);
}

const uint32_t *efm8_baud_rates(size_t *count)
{
    static const auto rates = [] {
        std::array<uint32_t, sizeof BAUD_RATES / sizeof BAUD_RATES[0]> list{};
        for (size_t i = 0; i < list.size(); ++i)
            list[i] = BAUD_RATES[i].baud;
        return list;
    }();
    *count = rates.size();
    return rates.data();
}

static int32_t start(struct serial_transport *serial, speed_t speed)
{
    const int fd = serial->fd;
    if (!isatty(fd))
        return EFM8_ERR_NOT_PORT;
    // The lock tells whether another process holds the port: the kernel
    // drops it with its holder. An exclusive flag found set without it
    // outlived a process that was killed, and is taken over; set, it keeps
    // out other users' programs that do not lock.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        return errno == EWOULDBLOCK ? EFM8_ERR_BUSY : EFM8_ERR_OPEN;
    serial->held = true;
    if (!serial_hold(fd))
        return EFM8_ERR_OPEN;
    if (!configure(fd, speed))
        return EFM8_ERR_OPTIONS;
    ask_low_latency(fd);
    tcflush(fd, TCIOFLUSH);
    const int32_t trained = write_all(serial, &TRAINING_BYTE, 1, now_ms() + serial->timeout_ms);
    return trained == EFM8_OK ? EFM8_OK : EFM8_ERR_OPEN;
}

int32_t serial_transport_open(const char *port, const struct efm8_port_settings *settings,
                              struct efm8_transport **transport)
{
    *transport = NULL;
    const speed_t speed = speed_of(settings->baud);
    if (speed == B0 || settings->timeout_ms == 0)
        return EFM8_ERR_OPTIONS;
    const int fd = open(port, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return open_failure(errno);
    struct serial_transport *serial = (struct serial_transport *)calloc(1, sizeof *serial);
    if (serial == NULL) {
        close(fd);
        return EFM8_ERR_OPEN;
    }
    serial->fd = fd;
    serial->timeout_ms = (int)settings->timeout_ms;
    serial->base.exchange = serial_exchange;
    serial->base.close = serial_close;
    serial->base.interface = EFM8_UART;
    const int32_t started = start(serial, speed);
    if (started != EFM8_OK) {
        serial_close(&serial->base);
        return started;
    }
    *transport = &serial->base;
    return EFM8_OK;
}

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
