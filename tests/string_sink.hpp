// A sink that gathers a converted stream in memory, and a scan of a string through it; for the
// tests and the fuzz target.
#pragma once

#include <cstdlib>
#include <string>
#include <string_view>

#include <sys/mman.h>
#include <unistd.h>

#include "rescale.hpp"

namespace testing_util {

class StringSink final : public tessaran::RescaleSink {
  public:
    bool pass(std::string_view unchanged) override { return append(unchanged); }
    bool replace(std::string_view rewritten) override { return append(rewritten); }
    std::string text;

  private:
    bool append(std::string_view bytes) {
        text.append(bytes);
        return true;
    }
};

// What the scan makes of `input` with blocks of `block_size` bytes; a small block makes most
// lines longer than a block.
inline std::string rescaled(std::string_view input, std::size_t block_size) {
    const int fd = ::memfd_create("input", 0);
    if (fd < 0 || ::write(fd, input.data(), input.size()) != static_cast<ssize_t>(input.size())) {
        std::abort();
    }
    StringSink sink;
    tessaran::Rescaler rescaler(block_size);
    if (rescaler.run(fd, 0, sink) != tessaran::ScanEnd::finished) {
        std::abort();
    }
    ::close(fd);
    return sink.text;
}

}  // namespace testing_util
