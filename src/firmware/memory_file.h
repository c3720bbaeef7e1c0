// An anonymous memory file with a path: SRecord reads and writes files only
// by name, so the loader hands it content, and the writers take back what
// it wrote, through one of these. Private to the loader library.
#ifndef KESTRANE_MEMORY_FILE_H
#define KESTRANE_MEMORY_FILE_H

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace firmware {

// SRecord reopens a file from its destructors and cannot survive that
// failing, so the file must stay openable for the reader's or writer's
// whole life.
class memory_file {
public:
    memory_file(const std::uint8_t *content, std::size_t size) : fd_(memfd_create("firmware", MFD_CLOEXEC))
    {
        if (fd_ < 0 || !write_all(content, size))
            return;
        const std::string path = "/proc/self/fd/" + std::to_string(fd_);
        const int probe = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (probe < 0)
            return;
        close(probe);
        path_ = path;
    }
    ~memory_file()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    memory_file(const memory_file &) = delete;
    memory_file &operator=(const memory_file &) = delete;

    // Empty when the file could not be made.
    const std::string &path() const { return path_; }

    // Whatever the file holds now, as others wrote it through the path.
    bool contents(std::vector<std::uint8_t> &content) const
    {
        content.clear();
        std::uint8_t block[4096];
        ssize_t got;
        while ((got = pread(fd_, block, sizeof block, static_cast<off_t>(content.size()))) > 0)
            content.insert(content.end(), block, block + got);
        return got == 0;
    }

private:
    bool write_all(const std::uint8_t *content, std::size_t size)
    {
        while (size > 0) {
            const ssize_t written = write(fd_, content, size);
            if (written <= 0)
                return false;
            content += written;
            size -= static_cast<std::size_t>(written);
        }
        return true;
    }

    int fd_;
    std::string path_;
};

}  // namespace firmware

#endif
