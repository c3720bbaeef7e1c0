// A stand-in for libgpiod 1.6 (the calls Kestrane makes), built as
// libgpiod.so.2 and put first by LD_LIBRARY_PATH, for machines whose kernel
// has no GPIO simulator. Its chips live in the folder $KESTRANE_SIM_GPIO:
//   NAME              a chip: a file holding its number of lines; opened by
//                     name or by this path (no permission on it: EACCES)
//   NAME.OFFSET.lock  held (flock) while a program has the line: another
//                     request gets EBUSY, as the kernel answers
//   NAME.OFFSET.in    a FIFO (made when a program watches the line): each
//                     '0' or '1' written to it is the pin's new level
// An output's changes go on the wires to the simulated boards (wires.h) as
// the pin's level, "gpio NAME:OFFSET LEVEL STAMP".
#include "wires.h"

#include <gpiod.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

struct gpiod_line {
    gpiod_chip *chip = nullptr;
    unsigned int offset = 0;
    bool requested = false;
    bool active_low = false;
    bool output = false;
    int value = 0;       // as asked: 1 active
    int lock_fd = -1;
    int input_fd = -1;   // the FIFO of an event request
    int level = 1;       // the input pin, pulled up
    int driven = 1;      // the output pin as last reported, pulled up before
    std::deque<int> events;
};

struct gpiod_chip {
    std::string name;
    std::string folder;
    std::vector<std::unique_ptr<gpiod_line>> lines;
};

namespace {

std::string folder()
{
    const char *dir = std::getenv("KESTRANE_SIM_GPIO");
    return dir != nullptr ? dir : "";
}

std::string path_of(const gpiod_line *line, const char *suffix)
{
    return line->chip->folder + "/" + line->chip->name + "." + std::to_string(line->offset) + suffix;
}

gpiod_chip *open_file(const std::string &path)
{
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    char text[32] = {};
    const ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);
    const long count = got > 0 ? std::strtol(text, nullptr, 10) : 0;
    if (count <= 0) {
        errno = ENOTTY;  // not a GPIO chip
        return nullptr;
    }
    auto *chip = new gpiod_chip;
    const std::size_t slash = path.rfind('/');
    chip->name = slash == std::string::npos ? path : path.substr(slash + 1);
    chip->folder = slash == std::string::npos ? "." : path.substr(0, slash);
    chip->lines.resize(static_cast<std::size_t>(count));
    return chip;
}

// Changes only, as a pin shows them.
void tell(gpiod_line *line)
{
    const int level = line->active_low ? !line->value : line->value;
    if (level == line->driven)
        return;
    line->driven = level;
    wires::report("gpio", line->chip->name + ":" + std::to_string(line->offset), level, wires::now_ns());
}

// The line for this program alone, or -1 and EBUSY.
int take(gpiod_line *line, int flags)
{
    if (line->requested) {
        errno = EBUSY;
        return -1;
    }
    const int fd = open(path_of(line, ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        errno = EBUSY;
        return -1;
    }
    line->lock_fd = fd;
    line->requested = true;
    line->active_low = (flags & GPIOD_LINE_REQUEST_FLAG_ACTIVE_LOW) != 0;
    return 0;
}

// Levels written since the last look, each change of the active state that
// rises kept as an event.
void read_levels(gpiod_line *line)
{
    char levels[64];
    ssize_t got;
    while ((got = read(line->input_fd, levels, sizeof levels)) > 0)
        for (ssize_t i = 0; i < got; ++i) {
            if (levels[i] != '0' && levels[i] != '1')
                continue;
            const int level = levels[i] - '0';
            const int was = line->active_low ? !line->level : line->level;
            const int now = line->active_low ? !level : level;
            line->level = level;
            if (!was && now)
                line->events.push_back(GPIOD_LINE_EVENT_RISING_EDGE);
        }
}

}  // namespace

extern "C" {

gpiod_chip *gpiod_chip_open(const char *path)
{
    return open_file(path);
}

gpiod_chip *gpiod_chip_open_by_name(const char *name)
{
    if (folder().empty()) {
        errno = ENOENT;
        return nullptr;
    }
    return open_file(folder() + "/" + name);
}

void gpiod_chip_close(gpiod_chip *chip)
{
    for (auto &line : chip->lines)
        if (line)
            gpiod_line_release(line.get());
    delete chip;
}

unsigned int gpiod_chip_num_lines(gpiod_chip *chip)
{
    return static_cast<unsigned int>(chip->lines.size());
}

gpiod_line *gpiod_chip_get_line(gpiod_chip *chip, unsigned int offset)
{
    if (offset >= chip->lines.size()) {
        errno = EINVAL;
        return nullptr;
    }
    auto &line = chip->lines[offset];
    if (!line) {
        line = std::make_unique<gpiod_line>();
        line->chip = chip;
        line->offset = offset;
    }
    return line.get();
}

int gpiod_line_request_output_flags(gpiod_line *line, const char *, int flags, int default_val)
{
    if (take(line, flags) != 0)
        return -1;
    line->output = true;
    line->value = default_val ? 1 : 0;
    tell(line);
    return 0;
}

int gpiod_line_request_rising_edge_events_flags(gpiod_line *line, const char *, int flags)
{
    if (take(line, flags) != 0)
        return -1;
    const std::string fifo = path_of(line, ".in");
    if (mkfifo(fifo.c_str(), 0600) != 0 && errno != EEXIST)
        return -1;
    line->input_fd = open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    return line->input_fd >= 0 ? 0 : -1;
}

int gpiod_line_set_value(gpiod_line *line, int value)
{
    if (!line->requested || !line->output) {
        errno = EPERM;
        return -1;
    }
    line->value = value ? 1 : 0;
    tell(line);
    return 0;
}

// The pin keeps the level it was driven to, as most drivers leave it.
void gpiod_line_release(gpiod_line *line)
{
    if (!line->requested)
        return;
    if (line->input_fd >= 0)
        close(line->input_fd);
    close(line->lock_fd);
    line->input_fd = line->lock_fd = -1;
    line->requested = line->output = false;
    line->events.clear();
}

int gpiod_line_event_wait(gpiod_line *line, const struct timespec *timeout)
{
    if (line->input_fd < 0) {
        errno = EPERM;
        return -1;
    }
    read_levels(line);
    if (!line->events.empty())
        return 1;
    pollfd input = {line->input_fd, POLLIN, 0};
    const int ms = static_cast<int>(timeout->tv_sec * 1000 + timeout->tv_nsec / 1000000);
    const int ready = poll(&input, 1, ms);
    if (ready < 0)
        return -1;
    read_levels(line);
    return line->events.empty() ? 0 : 1;
}

int gpiod_line_event_read(gpiod_line *line, struct gpiod_line_event *event)
{
    read_levels(line);
    if (line->events.empty()) {
        errno = EAGAIN;
        return -1;
    }
    std::memset(event, 0, sizeof *event);
    clock_gettime(CLOCK_MONOTONIC, &event->ts);
    event->event_type = line->events.front();
    line->events.pop_front();
    return 0;
}

}  // extern "C"
