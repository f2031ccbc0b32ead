// Access to an input file by offset through one fixed buffer.
#include "input_window.hpp"

#include <algorithm>
#include <limits>

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
        const long count = read_at(fd_, data_ + size_, wanted - size_, end());
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

}  // namespace tessaran
