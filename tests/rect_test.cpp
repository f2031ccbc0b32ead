// Rewriting of lines and streams: which lines are plain rectangle lines, which groups a line's
// tags lead to, how groups are read and scaled, which lines stay as they are, and the bytes
// between them.
#include <gtest/gtest.h>

#include <string>

#include "string_sink.hpp"

using namespace std::string_literals;

namespace {

struct LineCase {
    std::string input;
    std::string expected;  // empty: the input stays byte for byte
};

const LineCase cases[] = {
    // Full screen and a quarter of it.
    {"<rect>[1280,720,1280,720]</rect>\n", "<rect>[1024,576,1024,576]</rect>\n"},
    {"<rect>[640,360,320,180]</rect>\n", "<rect>[512,288,256,144]</rect>\n"},
    // Truncation toward zero, for positive and negative values.
    {"<rect>[1,1,1,1]</rect>\n", "<rect>[0,0,0,0]</rect>\n"},
    {"<rect>[2,2,2,2]</rect>\n", "<rect>[1,1,1,1]</rect>\n"},
    {"<rect>[999,719,999,719]</rect>\n", "<rect>[799,575,799,575]</rect>\n"},
    {"<item_rect>[-3,-3,-5,-5]</item_rect>\n", "<item_rect>[-2,-2,-4,-4]</item_rect>\n"},
    // Blanks around numbers, empty fields, a fraction, a sign and leading zeros.
    {"<rect>[ 10, 20 ,30,40]</rect>\n", "<rect>[8,16,24,32]</rect>\n"},
    {"<rect>[,,,]</rect>\n", "<rect>[0,0,0,0]</rect>\n"},
    {"<rect>[12.9,0,0,0]</rect>\n", "<rect>[9,0,0,0]</rect>\n"},
    {"<rect>[+10,007,0,0]</rect>\n", "<rect>[8,5,0,0]</rect>\n"},
    // A plain line drops its blanks and CR and gains a missing line feed.
    {"\t<rect>[10,20,30,40]</rect>\r\n", "<rect>[8,16,24,32]</rect>\n"},
    {" \t<item_rect> [1,2,3,4]\t</item_rect> \r\n", "<item_rect>[0,1,2,3]</item_rect>\n"},
    {"<item_rect>[10,20,30,40]</item_rect>", "<item_rect>[8,16,24,32]</item_rect>\n"},
    // Any other line keeps every byte but its groups, CR and missing line feed included.
    {"\t<item name=\"quit\"><rect>[100,100,200,50]</rect><text>Quit</text></item>\n",
     "\t<item name=\"quit\"><rect>[80,80,160,40]</rect><text>Quit</text></item>\n"},
    {"<rect>[0,0,1280,720]</rect> <!-- full screen -->\r\n",
     "<rect>[0,0,1024,576]</rect> <!-- full screen -->\r\n"},
    {"<rect>[1280,720,640,360]</rect> x", "<rect>[1024,576,512,288]</rect> x"},
    {"<rect>[5,5,5,5]</item_rect>\n", "<rect>[4,4,4,4]</item_rect>\n"},
    {"<rect>\0[5,5,5,5]</rect>\n"s, "<rect>\0[4,4,4,4]</rect>\n"s},
    // Old Mac line ends make one line of a whole layout.
    {"<w>\r\t<rect>[10,10,10,10]</rect>\r<item_rect>[5,5,5,5]</item_rect>\r</w>",
     "<w>\r\t<rect>[8,8,8,8]</rect>\r<item_rect>[4,4,4,4]</item_rect>\r</w>"},
    // A tag leads to the first '[' behind it; a '[' before any tag is not the rectangle's.
    {"[100,100,100,100] <rect>[5,5,5,5]</rect>\n", "[100,100,100,100] <rect>[4,4,4,4]</rect>\n"},
    {"<item_rect>[1,2,3,4]</item_rect><rect>[5,6,7,8]</rect>\n",
     "<item_rect>[0,1,2,3]</item_rect><rect>[4,4,5,6]</rect>\n"},
    {"[5,5,5,5]<rect>\n", ""},
    // Two tags that lead to one group scale it once.
    {"<rect><item_rect>[5,5,5,5]\n", "<rect><item_rect>[4,4,4,4]\n"},
    // A tag inside a group that was cut short, or replaced, still leads to the group after it.
    {"<rect>[1,<rect>] [5,5,5,5]\n", "<rect>[1,<rect>] [4,4,4,4]\n"},
    {"<rect>[1,2,<rect>3,4] [5,5,5,5]\n", "<rect>[0,1,0,3] [4,4,4,4]\n"},
    {"x<rect>[1,2,3,<rect>4] [5,6,7,8]", "x<rect>[0,1,2,0] [4,4,5,6]"},
    // A '[' inside a replaced group starts no second one.
    {"<rect>[1<rect>[5,5,5,5]\n", "<rect>[0,4,4,4]\n"},
    // More than four members: the fourth field runs on to the ']'.
    {"<rect>[10,20,30,40,50]</rect>\n", "<rect>[8,16,24,32]</rect>\n"},
    // The whole signed 32-bit range scales exactly.
    {"<rect>[2000000000,0,0,0]</rect>\n", "<rect>[1600000000,0,0,0]</rect>\n"},
    {"<rect>[-2147483648,2147483647,0,0]</rect>\n", "<rect>[-1717986918,1717986917,0,0]</rect>\n"},
    // Unreadable groups keep their line: no '[', cut short, no ']', out of range.
    {"<rect>none</rect>\n", ""},
    {"<rect>[1,2,3]</rect>\n", ""},
    {"<rect>[1280,720]</rect><!-- [7,8,9] -->\n", ""},
    {"<rect>[1,2,3,4\n", ""},
    {"<rect>[2147483648,0,0,0]</rect>\n", ""},
    {"<rect>[0,-99999999999999999999,0,0]</rect>\n", ""},
    // Not a rectangle line: other case, attributes, a closing tag alone.
    {"<Rect>[10,20,30,40]</Rect>\n", ""},
    {"<rect x=\"1\">[10,20,30,40]</rect>\n", ""},
    {"</rect>[10,20,30,40]\n", ""},
    // Already in canonical form.
    {"<rect>[0,0,0,0]</rect>\n", ""},
    // Whole streams: empty, without rectangle lines, a last line without its line feed.
    {"", ""},
    {"<a>\n<b>x</b>\n", ""},
    {"<a>\n<text>y</text>", ""},
    {"<a>\n<rect>[5,5,5,5]</rect>", "<a>\n<rect>[4,4,4,4]</rect>\n"},
    // A tag far into a long line is found; bytes of value 0 pass through.
    {std::string(280, 'a') + "<rect>[10,10,10,10]</rect>\n",
     std::string(280, 'a') + "<rect>[8,8,8,8]</rect>\n"},
    {"a\0b\n<rect>[5,5,5,5]</rect>\n\0"s, "a\0b\n<rect>[4,4,4,4]</rect>\n\0"s},
    // CR LF lines that are not rewritten keep their CR.
    {"<a>\r\n<item_rect>[10,10,10,10]</item_rect>\r\n<b>\r\n",
     "<a>\r\n<item_rect>[8,8,8,8]</item_rect>\n<b>\r\n"},
    // A line that merely ends a tag name in "rect>" does not hide the rectangle after it.
    {"<direct>x</direct>\n<rect>[5,5,5,5]</rect>\n",
     "<direct>x</direct>\n<rect>[4,4,4,4]</rect>\n"},
    // A tag broken over two lines is no tag.
    {"<re\nct>[1,2,3,4]\n", ""},
};

TEST(RewriteLine, FollowsTheTable) {
    // A block of 7 bytes makes nearly every line longer than a block.
    for (const std::size_t block_size : {7, 64, 512 * 1024}) {
        for (const LineCase& row : cases) {
            const std::string& expected = row.expected.empty() ? row.input : row.expected;
            EXPECT_EQ(testing_util::rescaled(row.input, block_size), expected)
                << "block " << block_size << ", input: " << row.input;
        }
    }
}

}  // namespace
