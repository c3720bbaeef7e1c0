// RTS and DTR for pseudo-terminals, which have none (the kernel answers
// TIOCMGET, TIOCMSET, TIOCMBIS and TIOCMBIC on them with ENOTTY): loaded
// into the real kestrane-cli with LD_PRELOAD, it keeps the two lines of
// each pseudo-terminal the process opens, as a serial port's driver would,
// and wires them to the simulated boards (wires.h). Like a real port, an
// open raises both lines and a last close drops them unless HUPCL is off.
// A pseudo-terminal starts without HUPCL, a serial port with it: the first
// open this process sees sets it. Other descriptors and requests go to the
// C library untouched.
#include "wires.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace {

using IoctlCall = int (*)(int, unsigned long, ...);
using OpenCall = int (*)(const char *, int, ...);
using CloseCall = int (*)(int);

template <typename Call> Call next(const char *name)
{
    return reinterpret_cast<Call>(dlsym(RTLD_NEXT, name));
}

struct Ports {
    std::recursive_mutex lock;  // the wires close a socket of their own
    std::map<int, std::string> open;    // descriptor -> its pseudo-terminal
    std::map<std::string, int> lines;   // pseudo-terminal -> TIOCM_RTS | TIOCM_DTR as set
};

Ports &ports()
{
    static Ports instance;
    return instance;
}

// The pseudo-terminal behind fd, or "" for anything else.
std::string terminal_of(int fd)
{
    char name[64];
    if (ttyname_r(fd, name, sizeof name) != 0 || std::strncmp(name, "/dev/pts/", 9) != 0)
        return "";
    return name;
}

// Each line that changed goes out on the wires, a pin low while its line
// is asserted; both with one stamp when they change at once.
void set_lines(const std::string &terminal, int bits)
{
    const std::int64_t stamp = wires::now_ns();
    int &held = ports().lines[terminal];
    const int was = held;
    held = bits & (TIOCM_RTS | TIOCM_DTR);
    if ((was ^ held) & TIOCM_RTS)
        wires::report("rts", terminal, (held & TIOCM_RTS) ? 0 : 1, stamp);
    if ((was ^ held) & TIOCM_DTR)
        wires::report("dtr", terminal, (held & TIOCM_DTR) ? 0 : 1, stamp);
}

void opened(int fd)
{
    const std::string terminal = fd >= 0 ? terminal_of(fd) : "";
    if (terminal.empty())
        return;
    std::lock_guard<std::recursive_mutex> guard(ports().lock);
    ports().open[fd] = terminal;
    if (ports().lines.emplace(terminal, 0).second) {
        termios settings{};
        if (tcgetattr(fd, &settings) == 0) {
            settings.c_cflag |= HUPCL;
            tcsetattr(fd, TCSANOW, &settings);
        }
    }
    set_lines(terminal, TIOCM_RTS | TIOCM_DTR);
}

int modem_request(int fd, unsigned long request, int *bits)
{
    std::lock_guard<std::recursive_mutex> guard(ports().lock);
    const auto port = ports().open.find(fd);
    if (port == ports().open.end())
        return -2;  // not ours
    const int held = ports().lines[port->second];
    switch (request) {
    case TIOCMGET: *bits = held; break;
    case TIOCMSET: set_lines(port->second, *bits); break;
    case TIOCMBIS: set_lines(port->second, held | *bits); break;
    case TIOCMBIC: set_lines(port->second, held & ~*bits); break;
    }
    return 0;
}

}  // namespace

extern "C" {

int ioctl(int fd, unsigned long request, ...)
{
    va_list arguments;
    va_start(arguments, request);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);
    static const IoctlCall real = next<IoctlCall>("ioctl");
    if (request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC) {
        const int done = modem_request(fd, request, static_cast<int *>(argument));
        if (done != -2)
            return done;
    }
    return real(fd, request, argument);
}

static int open_with(OpenCall real, const char *path, int flags, va_list arguments)
{
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(arguments, mode_t) : 0;
    const int fd = real(path, flags, mode);
    opened(fd);
    return fd;
}

int open(const char *path, int flags, ...)
{
    static const OpenCall real = next<OpenCall>("open");
    va_list arguments;
    va_start(arguments, flags);
    const int fd = open_with(real, path, flags, arguments);
    va_end(arguments);
    return fd;
}

int open64(const char *path, int flags, ...)
{
    static const OpenCall real = next<OpenCall>("open64");
    va_list arguments;
    va_start(arguments, flags);
    const int fd = open_with(real, path, flags, arguments);
    va_end(arguments);
    return fd;
}

// The last close drops both lines where the port hangs up on close.
int close(int fd)
{
    static const CloseCall real = next<CloseCall>("close");
    {
        std::lock_guard<std::recursive_mutex> guard(ports().lock);
        const auto port = ports().open.find(fd);
        if (port != ports().open.end()) {
            const std::string terminal = port->second;
            ports().open.erase(port);
            termios settings{};
            bool last = true;
            for (const auto &other : ports().open)
                last = last && other.second != terminal;
            if (last && tcgetattr(fd, &settings) == 0 && (settings.c_cflag & HUPCL))
                set_lines(terminal, 0);
        }
    }
    return real(fd);
}

}  // extern "C"
