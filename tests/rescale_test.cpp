// The scan over whole streams: lines that straddle blocks, the last line, odd bytes.
#include <gtest/gtest.h>

#include <string>

#include <sys/mman.h>
#include <unistd.h>

#include "rescale.hpp"
#include "string_sink.hpp"

using namespace std::string_literals;

namespace {

std::string rescaled(const std::string& input, std::size_t block_size) {
    const int fd = ::memfd_create("input", 0);
    EXPECT_EQ(::write(fd, input.data(), input.size()), static_cast<ssize_t>(input.size()));
    ::lseek(fd, 0, SEEK_SET);
    testing_util::StringSink sink;
    tessaran::Rescaler rescaler(block_size);
    EXPECT_EQ(rescaler.run(fd, sink), tessaran::ScanEnd::finished);
    ::close(fd);
    return sink.text;
}

struct StreamCase {
    std::string input;
    std::string expected;
};

const StreamCase stream_cases[] = {
    // Empty input, and input without rectangle lines.
    {"", ""},
    {"<a>\n<b>x</b>\n", "<a>\n<b>x</b>\n"},
    // The last line keeps its missing line feed, unless it is rewritten.
    {"<a>\n<text>y</text>", "<a>\n<text>y</text>"},
    {"<a>\n<rect>[5,5,5,5]</rect>", "<a>\n<rect>[4,4,4,4]</rect>\n"},
    // A tag far into a long line is found.
    {std::string(280, 'a') + "<rect>[10,10,10,10]</rect>\n", "<rect>[8,8,8,8]</rect>\n"},
    // Bytes of value 0 pass through.
    {"a\0b\n<rect>[5,5,5,5]</rect>\n\0"s, "a\0b\n<rect>[4,4,4,4]</rect>\n\0"s},
    // CR LF lines that are not rewritten keep their CR.
    {"<a>\r\n<item_rect>[10,10,10,10]</item_rect>\r\n<b>\r\n",
     "<a>\r\n<item_rect>[8,8,8,8]</item_rect>\n<b>\r\n"},
    // A line that merely ends a tag name in "rect>" does not hide the rectangle after it.
    {"<direct>x</direct>\n<rect>[5,5,5,5]</rect>\n",
     "<direct>x</direct>\n<rect>[4,4,4,4]</rect>\n"},
    // A tag broken over two lines is no tag.
    {"<re\nct>[1,2,3,4]\n", "<re\nct>[1,2,3,4]\n"},
};

TEST(Rescaler, ConvertsWholeStreamsAtEveryBlockSize) {
    // A block of 7 bytes splits every line and makes the buffer grow.
    for (const std::size_t block_size : {7, 64, 128 * 1024}) {
        for (const StreamCase& row : stream_cases) {
            EXPECT_EQ(rescaled(row.input, block_size), row.expected)
                << "block " << block_size << ", input: " << row.input;
        }
    }
}

}  // namespace
