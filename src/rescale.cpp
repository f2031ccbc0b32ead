// The scan over a whole layout stream.
#include "rescale.hpp"

#include <cstring>

#include "fd.hpp"
#include "rect.hpp"

namespace tessaran {
namespace {

// Scans `block`, which ends at a line end or at the end of the stream, and feeds `sink`.
// Returns false when the sink stopped the scan.
bool rescale_block(std::string_view block, RescaleSink& sink) {
    char rewritten[rect_line_capacity];
    std::size_t run = 0;   // start of the untouched bytes not yet passed on
    std::size_t line = 0;  // start of the line the search goes on from
    // Only a line that holds a '[' can change, so the search leaps from one '[' to the next and
    // looks at the lines around them alone; in a layout these are nearly all rectangle lines.
    for (std::size_t hit; (hit = block.find('[', line)) != std::string_view::npos;) {
        const void* feed_before = ::memrchr(block.data() + line, '\n', hit - line);
        if (feed_before != nullptr) {
            line =
                static_cast<std::size_t>(static_cast<const char*>(feed_before) - block.data()) + 1;
        }
        const std::size_t feed = block.find('\n', hit);
        const std::size_t line_end = feed == std::string_view::npos ? block.size() : feed + 1;
        const std::size_t length = rewrite_line(block.substr(line, line_end - line), rewritten);
        if (length > 0) {
            if (!sink.pass(block.substr(run, line - run)) ||
                !sink.replace(std::string_view(rewritten, length))) {
                return false;
            }
            run = line_end;
        }
        line = line_end;
    }
    return sink.pass(block.substr(run));
}

}  // namespace

Rescaler::Rescaler(std::size_t block_size) : data_(new char[block_size]), capacity_(block_size) {}

ScanEnd Rescaler::run(int fd, RescaleSink& sink) {
    begin_ = 0;
    end_ = 0;
    for (bool at_end = false; !at_end;) {
        if (!refill(fd, at_end)) {
            return ScanEnd::read_failed;
        }
        const std::size_t limit = at_end ? end_ : complete_lines_end();
        if (!rescale_block(std::string_view(data_.get() + begin_, limit - begin_), sink)) {
            return ScanEnd::stopped;
        }
        begin_ = limit;
    }
    return ScanEnd::finished;
}

// Moves the unfinished line to the front, makes room for it to grow when it fills the whole
// buffer, and reads once behind it.
bool Rescaler::refill(int fd, bool& at_end) {
    const std::size_t carried = end_ - begin_;
    if (carried == capacity_) {
        std::unique_ptr<char[]> larger(new char[capacity_ * 2]);
        std::memcpy(larger.get(), data_.get(), carried);
        data_ = std::move(larger);
        capacity_ *= 2;
    } else if (begin_ > 0) {
        std::memmove(data_.get(), data_.get() + begin_, carried);
    }
    begin_ = 0;
    end_ = carried;
    const long count = read_some(fd, data_.get() + end_, capacity_ - end_);
    if (count < 0) {
        return false;
    }
    end_ += static_cast<std::size_t>(count);
    at_end = count == 0;
    return true;
}

// The end of the last whole line read so far, or the start when no line is whole yet.
std::size_t Rescaler::complete_lines_end() const {
    const void* feed = ::memrchr(data_.get() + begin_, '\n', end_ - begin_);
    return feed == nullptr
               ? begin_
               : static_cast<std::size_t>(static_cast<const char*>(feed) - data_.get()) + 1;
}

}  // namespace tessaran
