// The scan over a whole layout stream: untouched runs pass on in one piece, rectangle lines are
// rewritten.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

namespace tessaran {

// Takes the converted stream in order: runs of bytes that stand as they were in the input, and
// rewritten lines in place of the input lines they replace.
class RescaleSink {
  public:
    virtual ~RescaleSink() = default;
    // Each returns false to stop the scan.
    virtual bool pass(std::string_view unchanged) = 0;
    virtual bool replace(std::string_view rewritten) = 0;
};

enum class ScanEnd { finished, stopped, read_failed };

// Reads a stream in large blocks and feeds its sink. The block buffer is kept from one stream to
// the next; it grows only when a single line does not fit, so memory follows the longest line,
// never the size of the stream.
class Rescaler {
  public:
    explicit Rescaler(std::size_t block_size = std::size_t{128} * 1024);

    // Scans `fd` from its current offset to its end.
    ScanEnd run(int fd, RescaleSink& sink);

  private:
    bool refill(int fd, bool& at_end);
    std::size_t complete_lines_end() const;

    std::unique_ptr<char[]> data_;
    std::size_t capacity_;
    std::size_t begin_ = 0;  // first byte not yet scanned
    std::size_t end_ = 0;    // end of the bytes read
};

}  // namespace tessaran
