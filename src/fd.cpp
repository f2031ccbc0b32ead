// Ownership of a file descriptor, and the read and write loops around interruptions.
#include "fd.hpp"

#include <fcntl.h>

#include <algorithm>

#include <unistd.h>
#include <cerrno>

namespace tessaran {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.release();
    }
    return *this;
}

UniqueFd::~UniqueFd() {
    close();
}

int UniqueFd::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

bool UniqueFd::close() {
    if (fd_ < 0) {
        return true;
    }
    // Linux releases the descriptor even when close fails, so it is never closed twice.
    const int result = ::close(release());
    return result == 0 || errno == EINTR;
}

UniqueFd open_folder(int directory) {
    return UniqueFd(::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

bool write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

off_t data_from(int fd, off_t at, off_t end) {
    const off_t data = ::lseek(fd, at, SEEK_DATA);
    return data >= at ? std::min(data, end) : errno == ENXIO ? end : at;
}

long read_at(int fd, char* data, std::size_t size, off_t offset) {
    for (;;) {
        const ssize_t count = ::pread(fd, data, size, offset);
        if (count >= 0 || errno != EINTR) {
            return static_cast<long>(count);
        }
    }
}

}  // namespace tessaran
