// Access to an input file by offset through one fixed buffer, read again where needed.
#pragma once

#include <cstddef>
#include <string_view>

#include <sys/types.h>

#include "signals.hpp"

namespace tessaran {

// Holds one stretch of the input at a time. A byte outside it is read afresh from the file, so
// that memory stays fixed however long a line is; the input must be a file that can be read at
// any offset. A read error ends the input where it happened and is remembered; so does an input
// that ends before the end it was given, since the file must then have changed.
class InputWindow {
  public:
    InputWindow(char* buffer, std::size_t capacity) : data_(buffer), capacity_(capacity) {}

    // From now on a held signal that has arrived ends the input as a read error would, so that
    // no scan, however long, keeps the process from acting on it.
    void watch(const HeldSignals& signals) { signals_ = &signals; }
    bool interrupted() const { return signals_ != nullptr && signals_->pending() != 0; }

    // Starts over on `fd`; the input ends at `end`, or where the file does when `end` is the
    // largest offset. What the window holds is kept where it is of the same input as before, since
    // `start_input`; otherwise nothing is read yet.
    void reset(int fd, off_t end);
    // Starts on an input of its own, which may have holes, whose zeros are then filled in, not
    // read, when `holes`: what the window holds is of no use from now on.
    void start_input(bool holes) {
        holes_ = holes;
        same_input_ = true;
        fd_ = -1;
    }

    // The bytes from `at` to the end of the window; empty at the end of the input or after a read
    // error. When `at` lies outside, the window is read afresh from `line_start` if that keeps
    // the line's start in it and leaves room to go on, otherwise from `at`.
    std::string_view from(off_t at, off_t line_start) {
        if (!contains(at)) {
            const bool keep_line = line_start <= at && at - line_start < half_capacity();
            load(keep_line ? line_start : at);
        }
        return contains(at)
                   ? std::string_view(data_ + (at - start_), static_cast<std::size_t>(end() - at))
                   : std::string_view();
    }
    bool contains(off_t at) const { return at >= start_ && at < end(); }
    // Reads at most `size` bytes of the input at `offset` into `data`, the zeros of a hole filled
    // in unread: the count, 0 at the end, or -1 on an error.
    long read_into(char* data, std::size_t size, off_t offset);
    // Where the hole that `at` lies in ends, or `at` itself where it lies in data. A file system
    // that cannot tell says the file is all data; past the last data, only an end that is known
    // bounds the hole.
    off_t hole_end(off_t at);
    // Where the byte at `at` stands; the window must contain it.
    const char* data_at(off_t at) const { return data_ + (at - start_); }
    off_t start() const { return start_; }
    off_t end() const { return start_ + static_cast<off_t>(size_); }
    bool failed() const { return failed_; }

  private:
    off_t half_capacity() const { return static_cast<off_t>(capacity_ / 2); }
    void load(off_t at);

    int fd_ = -1;
    char* data_;
    std::size_t capacity_;
    off_t start_ = 0;
    std::size_t size_ = 0;
    off_t input_end_ = 0;  // where the input ends, as far as known
    bool failed_ = false;
    bool holes_ = false;
    bool same_input_ = false;  // a reset to `fd_` and `input_end_` is of the same input
    // A stretch of data found last, so that most offsets need no question to the file system.
    off_t data_begin_ = 0;
    off_t data_end_ = 0;
    const HeldSignals* signals_ = nullptr;
};

}  // namespace tessaran
