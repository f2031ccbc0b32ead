// The scan over whole streams: lines that straddle blocks, the last line, odd bytes.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "reference_rules.hpp"
#include "string_sink.hpp"

using namespace std::string_literals;
using namespace std::string_view_literals;

namespace {

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
    {std::string(280, 'a') + "<rect>[10,10,10,10]</rect>\n",
     std::string(280, 'a') + "<rect>[8,8,8,8]</rect>\n"},
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
            EXPECT_EQ(testing_util::rescaled(row.input, block_size), row.expected)
                << "block " << block_size << ", input: " << row.input;
        }
    }
}

// Lines built from the pieces that matter, plain and rich rectangle lines among them, held against
// the separate reading of the rules.
TEST(Rescaler, AgreesWithTheReferenceOnRandomLines) {
    // clang-format off
    const std::string_view pieces[] = {
        "<rect>", "<item_rect>", "</rect>", "</item_rect>", "[1280,720,640,360]", "[-3,5,,9]",
        "[1,2]", "[7,8,9,0,1]", "[", "]", ",", " ", "\t", "\r", "\n", "12", "-", "<text>", "x",
        "2147483648", "\0"sv};
    // clang-format on
    std::mt19937 random(20261207);
    std::string input;
    for (int piece = 0; piece < 200000; ++piece) {
        input.append(pieces[random() % std::size(pieces)]);
    }
    const std::string expected = reference::converted(input);
    for (const std::size_t block_size : {7, 64, 512 * 1024}) {
        EXPECT_EQ(testing_util::rescaled(input, block_size), expected) << "block " << block_size;
    }
}

}  // namespace
