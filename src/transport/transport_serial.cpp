// The serial transport: each record goes out as its bytes, and the
// bootloader answers with one byte. The port is raw 8N1 without flow
// control, so every byte passes as it is in both directions, and it is held
// by this process alone.
#include "transport/transport.h"

#include <array>

#include <errno.h>
#include <fcntl.h>
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
    uint32_t timeout_ms;
    speed_t speed;
    bool held;  // its exclusive flag set by this process
    struct driven_line reset, boot;
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
    line_release(&serial->reset);
    line_release(&serial->boot);
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
    case ENOTDIR:
    // A path that leads nowhere: a loop of links, or longer than a path.
    case ELOOP:
    case ENAMETOOLONG: return EFM8_ERR_NO_DEVICE;
    case EISDIR: return EFM8_ERR_NOT_PORT;
    case EACCES:
    case EPERM: return EFM8_ERR_ACCESS;
    case EBUSY: return EFM8_ERR_BUSY;
    default: return EFM8_ERR_OPEN;
    }
}

// Raw 8N1 at the speed asked, no flow control, reads that never block.
// With keep_lines the port leaves RTS and DTR as they are when it is
// closed, rather than dropping them.
static bool configure(int fd, speed_t speed, bool keep_lines)
{
    struct termios settings;
    if (tcgetattr(fd, &settings) != 0)
        return false;
    cfmakeraw(&settings);
    settings.c_iflag &= ~(tcflag_t)(IXON | IXOFF | IXANY);
    settings.c_cflag &= ~(tcflag_t)(CSIZE | CSTOPB | PARENB | CRTSCTS);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    if (keep_lines)
        settings.c_cflag &= ~(tcflag_t)HUPCL;
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

const uint32_t *serial_baud_rates(size_t *count)
{
    static const auto rates = [] {
        std::array<uint32_t, sizeof BAUD_RATES / sizeof BAUD_RATES[0]> list{};
        for (size_t i = 0; i < list.size(); ++i)
            list[i] = BAUD_RATES[i].baud;
        return list;
    }();
    if (count != NULL)
        *count = rates.size();
    return rates.data();
}

static bool modem_line(const struct efm8_line *line)
{
    return line->kind == EFM8_LINE_RTS || line->kind == EFM8_LINE_DTR;
}

static int32_t start(struct serial_transport *serial, const struct efm8_line *reset, const struct efm8_line *boot,
                     struct line_failure *failure)
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
    if (!configure(fd, serial->speed, modem_line(reset) || modem_line(boot)))
        return EFM8_ERR_OPTIONS;
    int32_t claimed = modem_release_both(fd, reset, boot, failure);
    if (claimed == EFM8_OK)
        claimed = line_claim(&serial->reset, reset, fd, failure);
    if (claimed == EFM8_OK)
        claimed = line_claim(&serial->boot, boot, fd, failure);
    if (claimed != EFM8_OK)
        return claimed;
    ask_low_latency(fd);
    return EFM8_OK;
}

static int32_t serial_drive(struct efm8_transport *self, enum efm8_step_kind role, bool asserted)
{
    struct serial_transport *serial = (struct serial_transport *)self;
    struct driven_line *line = role == EFM8_STEP_RESET ? &serial->reset : &serial->boot;
    struct line_failure failure;
    const int32_t driven = line_drive(line, asserted, &failure);
    if (driven != EFM8_OK)
        transport_set_error(self, failure.os_error, failure.text);
    return driven;
}

static bool set_speed(int fd, speed_t speed)
{
    struct termios settings;
    return tcgetattr(fd, &settings) == 0 && cfsetispeed(&settings, speed) == 0 &&
           cfsetospeed(&settings, speed) == 0 && tcsetattr(fd, TCSADRAIN, &settings) == 0;
}

static int32_t serial_send_at(struct efm8_transport *self, const uint8_t *bytes, size_t len, uint32_t baud)
{
    struct serial_transport *serial = (struct serial_transport *)self;
    const speed_t speed = baud != 0 ? speed_of(baud) : serial->speed;
    if (speed == B0)
        return fail(serial, EINVAL, "the port does not take that baud rate");
    if (speed != serial->speed && !set_speed(serial->fd, speed))
        return fail(serial, errno, strerror(errno));
    int32_t sent = write_all(serial, bytes, len, now_ms() + serial->timeout_ms);
    if (sent == EFM8_OK && tcdrain(serial->fd) != 0)
        sent = fail(serial, errno, strerror(errno));
    if (speed != serial->speed && !set_speed(serial->fd, serial->speed) && sent == EFM8_OK)
        sent = fail(serial, errno, strerror(errno));
    return sent;
}

// Whatever waits in the port is dropped first: it is not the bootloader's.
static int32_t serial_train(struct efm8_transport *self)
{
    struct serial_transport *serial = (struct serial_transport *)self;
    tcflush(serial->fd, TCIOFLUSH);
    const int32_t trained = write_all(serial, &TRAINING_BYTE, 1, now_ms() + serial->timeout_ms);
    return trained == EFM8_OK ? EFM8_OK : EFM8_ERR_OPEN;
}

int32_t serial_transport_open(const char *port, const struct efm8_port_settings *settings,
                              const struct efm8_line *reset, const struct efm8_line *boot,
                              struct efm8_transport **transport, struct line_failure *failure)
{
    *transport = NULL;
    const speed_t speed = speed_of(settings->baud);
    if (speed == B0 || settings->timeout_ms == 0)
        return EFM8_ERR_OPTIONS;
    const int fd = open(port, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        // The system's own words for why, as a report carries them.
        failure->os_error = errno;
        snprintf(failure->text, sizeof failure->text, "%s: %s", port, strerror(errno));
        return open_failure(failure->os_error);
    }
    struct serial_transport *serial = (struct serial_transport *)calloc(1, sizeof *serial);
    if (serial == NULL) {
        close(fd);
        return EFM8_ERR_OPEN;
    }
    serial->fd = fd;
    serial->timeout_ms = settings->timeout_ms;
    serial->speed = speed;
    serial->base.exchange = serial_exchange;
    serial->base.close = serial_close;
    serial->base.drive = serial_drive;
    serial->base.send_at = serial_send_at;
    serial->base.train = serial_train;
    serial->base.interface = EFM8_UART;
    const int32_t started = start(serial, reset, boot, failure);
    if (started != EFM8_OK) {
        serial_close(&serial->base);
        return started;
    }
    *transport = &serial->base;
    return EFM8_OK;
}
