// Feeds arbitrary bytes through the stream scan that converts files, and checks every line of the
// result against a plain, separately written reading of the rules.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <sys/mman.h>
#include <unistd.h>

#include "rescale.hpp"
#include "string_sink.hpp"

namespace {

// The field as the C library reads a decimal number; false when outside 32 bits.
bool reference_number(const std::string& field, long long& value) {
    errno = 0;
    value = std::strtoll(field.c_str(), nullptr, 10);
    return errno != ERANGE && value >= INT32_MIN && value <= INT32_MAX;
}

// What one whole line must become.
std::string expected_line(const std::string& line) {
    const bool rect = line.find("<rect>") != std::string::npos;
    if (!rect && line.find("<item_rect>") == std::string::npos) {
        return line;
    }
    long long values[4];
    std::size_t at = line.find('[');
    for (int member = 0; member < 4; ++member) {
        const std::size_t stop =
            at == std::string::npos ? at : line.find(member < 3 ? ',' : ']', at + 1);
        if (stop == std::string::npos ||
            !reference_number(line.substr(at + 1, stop - at - 1), values[member])) {
            return line;
        }
        at = stop;
    }
    char out[128];
    const char* tag = rect ? "rect" : "item_rect";
    std::snprintf(out, sizeof out, "<%s>[%lld,%lld,%lld,%lld]</%s>\n", tag, values[0] * 1024 / 1280,
                  values[1] * 576 / 720, values[2] * 1024 / 1280, values[3] * 576 / 720, tag);
    return out;
}

std::string expected_stream(std::string_view input) {
    std::string expected;
    while (!input.empty()) {
        const std::size_t feed = input.find('\n');
        const std::size_t length = feed == std::string_view::npos ? input.size() : feed + 1;
        expected += expected_line(std::string(input.substr(0, length)));
        input.remove_prefix(length);
    }
    return expected;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const int fd = ::memfd_create("input", 0);
    if (fd < 0 || ::write(fd, data, size) != static_cast<ssize_t>(size) ||
        ::lseek(fd, 0, SEEK_SET) != 0) {
        std::abort();
    }
    // A small block splits lines across reads and makes the buffer grow.
    tessaran::Rescaler rescaler(16);
    testing_util::StringSink sink;
    if (rescaler.run(fd, sink) != tessaran::ScanEnd::finished) {
        std::abort();
    }
    ::close(fd);
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    if (sink.text != expected_stream(input)) {
        std::fprintf(stderr, "converted stream differs from the reference\n");
        std::abort();
    }
    return 0;
}
