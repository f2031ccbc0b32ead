// Access to an input file by offset through one fixed buffer.
#include "input_window.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include <unistd.h>

#include "fd.hpp"

namespace tessaran {

void InputWindow::reset(int fd, off_t end) {
    fd_ = fd;
    start_ = 0;
    size_ = 0;
    input_end_ = end;
    failed_ = false;
}

// Fills the whole buffer from `at`, or up to the end of the input.
void InputWindow::load(off_t at) {
    start_ = at;
    size_ = 0;
    failed_ = failed_ || interrupted();
    if (failed_ || at >= input_end_) {
        return;
    }
    const auto wanted =
        static_cast<std::size_t>(std::min(static_cast<off_t>(capacity_), input_end_ - at));
    while (size_ < wanted) {
        const long count = read_into(data_ + size_, wanted - size_, end());
        if (count <= 0) {
            // Short of an end that was known: the file shrank while it was read.
            failed_ = count < 0 || input_end_ != std::numeric_limits<off_t>::max();
            input_end_ = at + static_cast<off_t>(size_);
            break;
        }
        size_ += static_cast<std::size_t>(count);
    }
    size_ = failed_ ? 0 : size_;
}

long InputWindow::read_into(char* data, std::size_t size, off_t offset) const {
    if (const std::size_t zeros = hole_at(offset, size); zeros > 0) {
        std::memset(data, 0, zeros);
        return static_cast<long>(zeros);
    }
    return read_at(fd_, data, size, offset);
}

// How many of the `most` bytes from `at` lie in a hole, and so are zeros that need no read. A file
// system that cannot tell says the file is all data; past the last data, only an end that is
// known bounds the hole.
std::size_t InputWindow::hole_at(off_t at, std::size_t most) const {
    if (!holes_) {
        return 0;
    }
    off_t data = ::lseek(fd_, at, SEEK_DATA);
    if (data < 0) {
        if (errno != ENXIO || input_end_ == std::numeric_limits<off_t>::max()) {
            return 0;
        }
        data = input_end_;
    }
    return static_cast<std::size_t>(std::min(data - at, static_cast<off_t>(most)));
}

}  // namespace tessaran
