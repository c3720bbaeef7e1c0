// Which serial ports this process holds with the tty's exclusive flag set,
// so that a signal handler can clear the flags before the process ends: the
// kernel drops a dead process's flock, but the flag stays on the tty for as
// long as anyone (the other end of a pseudo-terminal, another program) keeps
// it open. And what can be told of a path before it is opened.
#include "transport/transport.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>

// More ports than this at once go without the flag; the flock still keeps
// other Kestrane processes out.
static const int HELD_MAX = 256;

// Each slot holds fd + 1, 0 when free: zero-initialised means empty. The
// handler reads them with nothing but lock-free atomics and ioctl.
static std::atomic<int> held[HELD_MAX];
static std::atomic<int> setting{0};     // threads between taking a slot and setting the flag
static std::atomic<int> releasing{0};   // set once the process is ending
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler reads these");

// Signals are blocked while a thread takes a slot and sets the flag, so the
// handler never runs inside that step on this thread; on another thread it
// waits for the step to end before clearing, and every step that starts
// after it sees releasing and sets nothing.
bool serial_hold(int fd)
{
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    setting.fetch_add(1);
    bool held_now = false;
    if (!releasing.load()) {
        for (int i = 0; i < HELD_MAX && !held_now; ++i) {
            int free_slot = 0;
            held_now = held[i].compare_exchange_strong(free_slot, fd + 1);
        }
        if (held_now)
            ioctl(fd, TIOCEXCL);
    }
    const bool refused = releasing.load() != 0;
    setting.fetch_sub(1);
    pthread_sigmask(SIG_SETMASK, &old, NULL);
    return !refused;
}

void serial_unhold(int fd)
{
    for (int i = 0; i < HELD_MAX; ++i) {
        int mine = fd + 1;
        if (held[i].load() == mine) {
            ioctl(fd, TIOCNXCL);
            held[i].compare_exchange_strong(mine, 0);
            return;
        }
    }
}

// A slot may name a descriptor that was just closed and reused; clearing
// the flag of whatever it is now does no harm to a process that is ending.
void serial_release_all(void)
{
    releasing.store(1);
    while (setting.load() != 0) {
    }
    for (int i = 0; i < HELD_MAX; ++i) {
        const int fd = held[i].load() - 1;
        if (fd >= 0)
            ioctl(fd, TIOCNXCL);
    }
}

// Whether sysfs files the character device under the tty class: 1 yes,
// 0 no, -1 when sysfs does not list it, as for pseudo-terminals.
static int tty_class(dev_t device)
{
    char link[64], target[PATH_MAX];
    snprintf(link, sizeof link, "/sys/dev/char/%u:%u/subsystem", major(device), minor(device));
    const ssize_t len = readlink(link, target, sizeof target - 1);
    if (len <= 0)
        return -1;
    target[len] = '\0';
    const char *last = strrchr(target, '/');
    return strcmp(last != NULL ? last + 1 : target, "tty") == 0;
}

int32_t serial_check_port(const char *port)
{
    struct stat status;
    if (stat(port, &status) != 0)
        return EFM8_OK;
    if (!S_ISCHR(status.st_mode))
        return EFM8_ERR_NOT_PORT;
    const int listed = tty_class(status.st_rdev);
    if (listed >= 0)
        return listed ? EFM8_OK : EFM8_ERR_NOT_PORT;
    // Not in sysfs: ask the device itself. An open that fails is left for
    // efm8_open_port to explain.
    const int fd = open(port, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return EFM8_OK;
    const bool terminal = isatty(fd);
    close(fd);
    return terminal ? EFM8_OK : EFM8_ERR_NOT_PORT;
}
