// The room kept for completing the records of the attempts in progress.
#include "station/store_sqlite.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace station {

// An unnamed file in the folder, so on the database's filesystem; where
// the filesystem cannot make one, a named one removed at once.
static int unnamed_file(const std::string &path)
{
    std::string folder = std::filesystem::path(path).parent_path().string();
    if (folder.empty())
        folder = ".";
    const int fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
        return fd;
    std::string name = path + "-room-XXXXXX";
    const int named = mkostemp(name.data(), O_CLOEXEC);
    if (named >= 0)
        unlink(name.c_str());
    return named;
}

Reserve::~Reserve()
{
    drop();
}

Result Reserve::grow(const std::string &path)
{
    if (fd_ < 0)
        fd_ = unnamed_file(path);
    const int error = fd_ < 0 ? errno : posix_fallocate(fd_, 0, off_t((shares_ + 1) * SHARE));
    if (error == 0) {
        ++shares_;
        return {};
    }
    if (fd_ >= 0)
        (void)!ftruncate(fd_, off_t(shares_ * SHARE));  // what the failed share took, given back
    const std::string why = error == ENOSPC || error == EDQUOT
                                ? "no room left on its filesystem"
                                : std::string("cannot keep room for it: ") + std::strerror(error);
    return {Status::Failed, "the station database " + path + ": " + why + " (" + std::to_string(SHARE / 1024) +
                                " KB are kept for each board in progress, so that its record can be completed)"};
}

void Reserve::shrink()
{
    if (shares_ == 0)
        return;
    --shares_;
    (void)!ftruncate(fd_, off_t(shares_ * SHARE));
}

void Reserve::drop()
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
    shares_ = 0;
}

}  // namespace station
