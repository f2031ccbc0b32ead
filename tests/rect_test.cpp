// Rewriting of single lines: which lines are rectangle lines, how their groups are read and
// scaled, and which lines stay as they are.
#include <gtest/gtest.h>

#include <string>

#include "rect.hpp"

using namespace std::string_literals;

namespace {

struct LineCase {
    std::string line;
    std::string expected;  // empty: the line stays byte for byte
};

std::string rewritten(const std::string& line) {
    char out[tessaran::rect_line_capacity];
    return std::string(out, tessaran::rewrite_line(line, out));
}

const LineCase line_cases[] = {
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
    // Indentation, trailing text and a CR LF are dropped; a missing line feed is added.
    {"\t\t<rect>[10,20,30,40]</rect> <!-- x -->\r\n", "<rect>[8,16,24,32]</rect>\n"},
    {"<item_rect>[10,20,30,40]</item_rect>", "<item_rect>[8,16,24,32]</item_rect>\n"},
    // The first '[' of the line is read, even before the tag; "<rect>" wins over "<item_rect>".
    {"[1,2,3,4] <rect>[5,6,7,8]</rect>\n", "<rect>[0,1,2,3]</rect>\n"},
    {"<item_rect>[1,2,3,4]</item_rect><rect>[5,6,7,8]</rect>\n", "<rect>[0,1,2,3]</rect>\n"},
    // More than four members: the fourth field runs on to the ']'.
    {"<rect>[10,20,30,40,50]</rect>\n", "<rect>[8,16,24,32]</rect>\n"},
    // The whole signed 32-bit range scales exactly.
    {"<rect>[2000000000,0,0,0]</rect>\n", "<rect>[1600000000,0,0,0]</rect>\n"},
    {"<rect>[-2147483648,2147483647,0,0]</rect>\n", "<rect>[-1717986918,1717986917,0,0]</rect>\n"},
    // Bytes of value 0 are bytes like any other.
    {"<rect>\0[5,5,5,5]</rect>\n"s, "<rect>[4,4,4,4]</rect>\n"},
    // Unreadable groups keep their line: no '[', three members, no ']', out of range.
    {"<rect>none</rect>\n", ""},
    {"<rect>[1,2,3]</rect>\n", ""},
    {"<rect>[1,2,3,4\n", ""},
    {"<rect>[2147483648,0,0,0]</rect>\n", ""},
    {"<rect>[0,-99999999999999999999,0,0]</rect>\n", ""},
    // Not a rectangle line: other case, attributes, a closing tag alone.
    {"<Rect>[10,20,30,40]</Rect>\n", ""},
    {"<rect x=\"1\">[10,20,30,40]</rect>\n", ""},
    {"</rect>[10,20,30,40]\n", ""},
    // Already in canonical form.
    {"<rect>[0,0,0,0]</rect>\n", ""},
};

TEST(RewriteLine, FollowsTheTable) {
    for (const LineCase& row : line_cases) {
        EXPECT_EQ(rewritten(row.line), row.expected) << "line: " << row.line;
    }
}

}  // namespace
