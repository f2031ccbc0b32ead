// The rectangle rules: reading a group, scaling it, and the forms it is written back in.
#include "rect.hpp"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstring>

namespace tessaran {
namespace {

// One more than the largest magnitude a signed 32-bit value may have: 2^31, for -2^31.
constexpr std::uint64_t magnitude_limit = std::uint64_t{1} << 31;

// Returns whether `c` is white space as the C library's decimal conversion skips it.
bool is_c_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Appends the literal `text` at `at` and returns the position behind it.
char* put(char* at, std::string_view text) {
    std::memcpy(at, text.data(), text.size());
    return at + text.size();
}

// Appends `value` as a signed decimal; a scaled value always fits 32 bits.
char* put_decimal(char* at, std::int64_t value) {
    return std::to_chars(at, at + 11, static_cast<std::int32_t>(value)).ptr;
}

// Takes digits into `magnitude` up to the first other byte, or until it passes the limit.
const char* take_digits(const char* at, const char* end, std::uint64_t& magnitude) {
    for (unsigned digit; at != end && (digit = static_cast<unsigned char>(*at) - '0') < 10; ++at) {
        magnitude = magnitude * 10 + digit;
        if (magnitude > magnitude_limit) {
            break;
        }
    }
    return at;
}

// Reads the shape nearly every group has, "[a,b,c,d]" with optional signs and nothing else, in
// one pass. Returns the position behind the ']', or nullptr for anything else: blanks, other
// bytes, more digits than a 32-bit value takes, or the end of the piece. The general reading
// then takes the group from its start.
const char* read_simple_group(const char* at, const char* end, Group& group) {
    for (int member = 0; member < 4; ++member) {
        if (at == end) {
            return nullptr;
        }
        const bool negative = *at == '-';
        at += *at == '-' || *at == '+' ? 1 : 0;
        const char* const digits_end = at + std::min<std::ptrdiff_t>(end - at, 10);
        std::uint64_t magnitude = 0;
        for (unsigned digit;
             at != digits_end && (digit = static_cast<unsigned char>(*at) - '0') < 10; ++at) {
            magnitude = magnitude * 10 + digit;
        }
        if (at == end || *at != (member < 3 ? ',' : ']') ||
            magnitude >= magnitude_limit + (negative ? 1 : 0)) {
            return nullptr;
        }
        const auto value = static_cast<std::int64_t>(magnitude);
        group.values[member] = negative ? -value : value;
        ++at;
    }
    return at;
}

// Scales the group and appends it as "[a,b,c,d]".
char* put_scaled_group(char* at, const Group& group) {
    // Multiply first, then divide, truncating toward zero; 64 bits keep every product exact.
    at = put_decimal(put(at, "["), group.values[0] * 1024 / 1280);
    at = put_decimal(put(at, ","), group.values[1] * 576 / 720);
    at = put_decimal(put(at, ","), group.values[2] * 1024 / 1280);
    at = put_decimal(put(at, ","), group.values[3] * 576 / 720);
    return put(at, "]");
}

}  // namespace

// The cursor lives in a local while the piece is read, where the compiler keeps it in registers.
const char* GroupReader::take(const char* at, const char* end) {
    if (cursor_.state == State::reading && cursor_.member == 0 && cursor_.phase == Phase::blanks) {
        if (const char* const behind = read_simple_group(at, end, group_)) {
            cursor_.state = State::read;
            return behind;
        }
    }
    Cursor cursor = cursor_;
    while (at != end && cursor.state == State::reading) {
        at = cursor.phase == Phase::delimiter ? take_delimiter(cursor, at, end)
                                              : take_number(cursor, at, end, group_);
    }
    cursor_ = cursor;
    return at;
}

// Takes the blanks and sign before a number, then its digits, and records the number once a
// byte that is no digit ends it.
const char* GroupReader::take_number(Cursor& cursor, const char* at, const char* end,
                                     Group& group) {
    if (cursor.phase == Phase::blanks) {
        while (at != end && is_c_space(*at)) {
            ++at;
        }
        if (at == end) {
            return at;
        }
        cursor.negative = *at == '-';
        at += *at == '-' || *at == '+' ? 1 : 0;
        cursor.magnitude = 0;
        cursor.phase = Phase::digits;
    }
    at = take_digits(at, end, cursor.magnitude);
    if (cursor.magnitude > magnitude_limit ||
        (at != end && !cursor.negative && cursor.magnitude == magnitude_limit)) {
        cursor.state = State::unreadable;
    } else if (at != end) {
        const auto value = static_cast<std::int64_t>(cursor.magnitude);
        group.values[cursor.member] = cursor.negative ? -value : value;
        cursor.phase = Phase::delimiter;
    }
    return at;
}

// Passes over the rest of the field to the delimiter awaited next; a ']' that comes first ends
// the group too early.
const char* GroupReader::take_delimiter(Cursor& cursor, const char* at, const char* end) {
    const char awaited = cursor.member < 3 ? ',' : ']';
    while (at != end && *at != awaited && *at != ']') {
        ++at;
    }
    if (at == end) {
        return at;
    }
    if (*at != awaited) {
        cursor.state = State::unreadable;
        return at;
    }
    cursor.phase = Phase::blanks;
    cursor.state = ++cursor.member == 4 ? State::read : State::reading;
    return at + 1;
}

namespace {

// A line in memory, read as `read_plain` reads one.
struct LineInMemory {
    struct GroupRead {
        bool readable;
        std::size_t end;
        Group group;
    };

    char byte_at(std::size_t at) const { return line[at]; }
    bool matches(std::size_t at, std::size_t end, std::string_view text) const {
        return end - at >= text.size() && line.compare(at, text.size(), text) == 0;
    }
    GroupRead read_group(std::size_t bracket, std::size_t end) const {
        GroupReader reader;
        const char* decided = reader.take(line.data() + bracket + 1, line.data() + end);
        return {reader.state() == GroupReader::State::read,
                static_cast<std::size_t>(decided - line.data()), reader.group()};
    }

    std::string_view line;
};

}  // namespace

bool read_plain_line(std::string_view line, Group& group, RectKind& kind) {
    LineInMemory source{line};
    return read_plain(source, std::size_t{0}, line.size(), group, kind);
}

std::size_t retset_point(const Group& group, RectKind kind, char (&out)[rect_line_capacity]) {
    char* at = out;
    if (kind == RectKind::rect) {
        at = put(put_scaled_group(put(at, rect_tag), group), "</rect>\n");
    } else {
        at = put(put_scaled_group(put(at, item_rect_tag), group), "</item_rect>\n");
    }
    return static_cast<std::size_t>(at - out);
}

std::size_t scaled_group(const Group& group, char (&out)[rect_line_capacity]) {
    return static_cast<std::size_t>(put_scaled_group(out, group) - out);
}

}  // namespace tessaran
