// Rewriting of one rectangle line from 1280 x 720 to 1024 x 576 coordinates.
#pragma once

#include <cstddef>
#include <string_view>

namespace tessaran {

// The canonical form a rectangle line is written back in.
enum class RectKind { rect = 1, item_rect = 2 };

// Room for the longest canonical line: "<item_rect>[" 4 x 11 characters, 3 commas and
// "]</item_rect>\n", with some to spare.
constexpr std::size_t rect_line_capacity = 96;

// Reads the first bracketed group of `line`, scales it and writes the whole line anew in the
// canonical form of `kind` into `out`. Returns the length written, or 0 when the group cannot be
// read (no '[', delimiters missing, or a value outside the signed 32-bit range); `out` is then
// left in an unspecified state and the caller keeps the line as it was.
std::size_t retset_point(std::string_view line, RectKind kind, char (&out)[rect_line_capacity]);

// Applies the tag tests to one whole line (its line feed included, if any) and rewrites it when it
// is a rectangle line. Returns the length of the new line in `out`, or 0 when the line is to stay
// byte for byte as it is: no tag, an unreadable group, or already in its canonical form.
std::size_t rewrite_line(std::string_view line, char (&out)[rect_line_capacity]);

}  // namespace tessaran
