// Rewriting of one rectangle line: read its group, scale it, write it in canonical form.
#include "rect.hpp"

#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>

namespace tessaran {
namespace {

constexpr std::string_view rect_tag = "<rect>";
constexpr std::string_view item_rect_tag = "<item_rect>";

// Returns whether `c` is white space as the C library's decimal conversion skips it.
bool is_c_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Reads a field as atoi reads it: leading white space, one optional sign, then digits up to the
// first other byte; no digits reads as 0. Unlike atoi it refuses, rather than wraps, a value
// outside the signed 32-bit range, so a huge number never turns into a plausible wrong one.
bool read_field(std::string_view field, std::int64_t& value) {
    constexpr std::int64_t limit = std::int64_t{1} << 31;
    std::size_t i = 0;
    while (i < field.size() && is_c_space(field[i])) {
        ++i;
    }
    const bool negative = i < field.size() && field[i] == '-';
    if (i < field.size() && (field[i] == '-' || field[i] == '+')) {
        ++i;
    }
    std::int64_t magnitude = 0;
    for (; i < field.size() && field[i] >= '0' && field[i] <= '9'; ++i) {
        magnitude = magnitude * 10 + (field[i] - '0');
        if (magnitude > limit) {
            return false;
        }
    }
    value = negative ? -magnitude : magnitude;
    return value < limit;
}

// Splits the group that starts at the first '[' of `line` into its four fields and reads them.
// Each field ends only at the delimiter awaited next: ',' three times, then ']'.
bool read_group(std::string_view line, std::array<std::int64_t, 4>& values) {
    std::size_t cursor = line.find('[');
    if (cursor == std::string_view::npos) {
        return false;
    }
    for (std::size_t member = 0; member < values.size(); ++member) {
        const char delimiter = member + 1 < values.size() ? ',' : ']';
        const std::size_t begin = cursor + 1;
        cursor = line.find(delimiter, begin);
        if (cursor == std::string_view::npos ||
            !read_field(line.substr(begin, cursor - begin), values[member])) {
            return false;
        }
    }
    return true;
}

// Appends `text` at `at` and returns the position behind it.
char* put(char* at, std::string_view text) {
    std::memcpy(at, text.data(), text.size());
    return at + text.size();
}

}  // namespace

std::size_t retset_point(std::string_view line, RectKind kind, char (&out)[rect_line_capacity]) {
    std::array<std::int64_t, 4> values{};
    if (!read_group(line, values)) {
        return 0;
    }
    // Multiply first, then divide, truncating toward zero; 64 bits keep every product exact.
    values[0] = values[0] * 1024 / 1280;
    values[1] = values[1] * 576 / 720;
    values[2] = values[2] * 1024 / 1280;
    values[3] = values[3] * 576 / 720;

    const bool is_rect = kind == RectKind::rect;
    char* const end = out + rect_line_capacity;
    char* at = put(out, is_rect ? "<rect>[" : "<item_rect>[");
    for (std::size_t member = 0; member < values.size(); ++member) {
        if (member > 0) {
            *at++ = ',';
        }
        at = std::to_chars(at, end, values[member]).ptr;
    }
    at = put(at, is_rect ? "]</rect>\n" : "]</item_rect>\n");
    return static_cast<std::size_t>(at - out);
}

std::size_t rewrite_line(std::string_view line, char (&out)[rect_line_capacity]) {
    // A line with both tags takes the "<rect>" form. Trying "<item_rect>" after a failed "<rect>"
    // rewrite would read the same first group and fail the same way, so one test decides.
    std::size_t length = 0;
    if (line.find(rect_tag) != std::string_view::npos) {
        length = retset_point(line, RectKind::rect, out);
    } else if (line.find(item_rect_tag) != std::string_view::npos) {
        length = retset_point(line, RectKind::item_rect, out);
    }
    if (length == line.size() && std::memcmp(out, line.data(), length) == 0) {
        return 0;
    }
    return length;
}

}  // namespace tessaran
