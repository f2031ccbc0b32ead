// Access to an input file by offset through one fixed buffer.
#include "input_window.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include <unistd.h>

#include "fd.hpp"

namespace tessaran {

void InputWindow::reset(int fd, off_t end) {
    if (same_input_ && fd == fd_ && end == input_end_ && !failed_) {
        return;
    }
    fd_ = fd;
    start_ = 0;
    size_ = 0;
    input_end_ = end;
    failed_ = false;
    data_begin_ = 0;
    data_end_ = 0;
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

long InputWindow::read_into(char* data, std::size_t size, off_t offset) {
    if (const off_t zeros = hole_end(offset) - offset; zeros > 0) {
        const auto filled = static_cast<std::size_t>(std::min(zeros, static_cast<off_t>(size)));
        std::memset(data, 0, filled);
        return static_cast<long>(filled);
    }
    return read_at(fd_, data, size, offset);
}

off_t InputWindow::hole_end(off_t at) {
    if (!holes_ || at >= input_end_ || (at >= data_begin_ && at < data_end_)) {
        return at;
    }
    const off_t data = data_from(fd_, at, input_end_);
    if (data == std::numeric_limits<off_t>::max()) {
        return at;  // past the last data, and no known end to bound the hole
    }
    if (data > at) {
        return data;
    }
    const off_t hole = ::lseek(fd_, at, SEEK_HOLE);
    data_begin_ = at;
    data_end_ = hole > at ? hole : std::numeric_limits<off_t>::max();
    return at;
}

}  // namespace tessaran
