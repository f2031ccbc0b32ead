// Rewriting of one rectangle line: read its group, scale it, write it in canonical form.
#include "rect.hpp"

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

// Reads the number at `at` as atoi reads it: leading white space, one optional sign, digits up to
// the first other byte; none reads as 0. Returns the position behind it, or nullptr for a value
// outside the signed 32-bit range, which atoi would wrap into a plausible wrong one.
const char* read_number(const char* at, const char* end, std::int64_t& value) {
    constexpr std::uint64_t limit = std::uint64_t{1} << 31;
    while (at != end && is_c_space(*at)) {
        ++at;
    }
    const bool negative = at != end && *at == '-';
    if (at != end && (*at == '-' || *at == '+')) {
        ++at;
    }
    std::uint64_t magnitude = 0;
    for (unsigned digit; at != end && (digit = static_cast<unsigned char>(*at) - '0') < 10; ++at) {
        magnitude = magnitude * 10 + digit;
        if (magnitude > limit) {
            return nullptr;
        }
    }
    if (!negative && magnitude == limit) {
        return nullptr;
    }
    value = negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
    return at;
}

// Reads the four members of the group that starts at the first '[' of `line`. Each field ends
// only at the delimiter awaited next, ',' three times and then ']'; the number at its start never
// reads past that delimiter, which is neither blank, sign nor digit.
bool read_group(std::string_view line, std::int64_t (&values)[4]) {
    constexpr char delimiters[4] = {',', ',', ',', ']'};
    const char* const end = line.data() + line.size();
    const char* at = static_cast<const char*>(std::memchr(line.data(), '[', line.size()));
    for (int member = 0; member < 4; ++member) {
        if (at == nullptr || (at = read_number(at + 1, end, values[member])) == nullptr) {
            return false;
        }
        if (at == end || *at != delimiters[member]) {
            at = static_cast<const char*>(
                std::memchr(at, delimiters[member], static_cast<std::size_t>(end - at)));
        }
    }
    return at != nullptr;
}

// Appends the literal `text` at `at` and returns the position behind it.
template <std::size_t size>
char* put(char* at, const char (&text)[size]) {
    std::memcpy(at, text, size - 1);
    return at + size - 1;
}

// Appends `value` as a signed decimal; a scaled value always fits 32 bits.
char* put_decimal(char* at, std::int64_t value) {
    return std::to_chars(at, at + 11, static_cast<std::int32_t>(value)).ptr;
}

// Scales the group and appends it as "[a,b,c,d]".
char* put_scaled_group(char* at, const std::int64_t (&values)[4]) {
    // Multiply first, then divide, truncating toward zero; 64 bits keep every product exact.
    at = put_decimal(put(at, "["), values[0] * 1024 / 1280);
    at = put_decimal(put(at, ","), values[1] * 576 / 720);
    at = put_decimal(put(at, ","), values[2] * 1024 / 1280);
    at = put_decimal(put(at, ","), values[3] * 576 / 720);
    return put(at, "]");
}

}  // namespace

std::size_t retset_point(std::string_view line, RectKind kind, char (&out)[rect_line_capacity]) {
    std::int64_t values[4];
    if (!read_group(line, values)) {
        return 0;
    }
    char* at = out;
    if (kind == RectKind::rect) {
        at = put(put_scaled_group(put(at, "<rect>"), values), "</rect>\n");
    } else {
        at = put(put_scaled_group(put(at, "<item_rect>"), values), "</item_rect>\n");
    }
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
