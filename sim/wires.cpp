#include "wires.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace wires {

std::int64_t now_ns()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Each change on a connection of its own, so that threads never share one.
void report(const std::string &kind, const std::string &where, int level, std::int64_t stamp)
{
    const char *path = std::getenv("KESTRANE_SIM_WIRES");
    if (path == nullptr || *path == '\0')
        return;
    const int saved = errno;  // the host's own errno is not the wires' business
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
        char ack;
        if (dprintf(fd, "%s %s %d %lld\n", kind.c_str(), where.c_str(), level, static_cast<long long>(stamp)) > 0)
            while (read(fd, &ack, 1) == 1 && ack != '\n') {
            }
    }
    if (fd >= 0)
        close(fd);
    errno = saved;
}

bool parse(const std::string &message, std::string &kind, std::string &where, int &level, std::int64_t &stamp)
{
    std::istringstream words(message);
    return static_cast<bool>(words >> kind >> where >> level >> stamp) && (level == 0 || level == 1);
}

}  // namespace wires
