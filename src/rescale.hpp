// The scan over a whole layout stream: untouched runs pass on in one piece, rectangle groups and
// plain rectangle lines are rewritten.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include <sys/types.h>

#include "input_window.hpp"

namespace tessaran {

// Takes the converted stream in order: runs of bytes that stand as they were in the input, and
// rewritten bytes in place of the input bytes they replace.
class RescaleSink {
  public:
    virtual ~RescaleSink() = default;
    // Each returns false to stop the scan.
    virtual bool pass(std::string_view unchanged) = 0;
    virtual bool replace(std::string_view rewritten) = 0;
    // `count` zeros of a hole that stand as they were; passed on as bytes unless a sink can do
    // better, as one that writes a file with holes can.
    virtual bool pass_zeros(off_t count);
};

enum class ScanEnd : std::uint8_t { finished, stopped, read_failed };

// Scans a file in large blocks and feeds its sink. Its memory is fixed when it is made: a line
// longer than a block is followed through its offsets in the file, never held whole.
class Rescaler {
  public:
    explicit Rescaler(std::size_t block_size = std::size_t{512} * 1024);

    static constexpr off_t to_the_end = static_cast<off_t>(~std::uint64_t{0} >> 1);

    // Scans `fd`, a file that can be read at any offset, from `begin` to `end`, or to its own end
    // if `end` is `to_the_end`. Both `begin` and `end` start lines, or `end` ends the file. A file
    // that ends before `end` counts as a read failure: it has changed.
    ScanEnd run(int fd, off_t begin, RescaleSink& sink, off_t end = to_the_end);

    // Makes a held signal that arrives end every later scan as a read failure.
    void watch(const HeldSignals& signals) { window_.watch(signals); }
    // Starts on a file of its own, which may have holes, then leapt over unread, when `holes`.
    // Until the next start, scans of the same descriptor to the same end read again none of what
    // the last scan left in the buffer: a small file is read once, however often it is scanned.
    void start_input(bool holes) { window_.start_input(holes); }

    // The first offset at or after `at` that starts a line, or `end`; -1 on a read error.
    off_t line_start_from(int fd, off_t at, off_t end);

  private:
    std::unique_ptr<char[]> block_;
    std::unique_ptr<char[]> side_;
    std::size_t side_size_;
    InputWindow window_;
};

}  // namespace tessaran
