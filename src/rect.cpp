// The rectangle rules: reading a group, scaling it, and the forms it is written back in.
#include "rect.hpp"

#include <charconv>
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

const char* GroupReader::take(const char* at, const char* end) {
    while (at != end && state_ == State::reading) {
        switch (phase_) {
            case Phase::blanks:
                at = take_blanks(at, end);
                break;
            case Phase::digits:
                at = take_digits(at, end);
                break;
            case Phase::delimiter:
                at = take_delimiter(at, end);
                break;
        }
    }
    return at;
}

// Skips the white space before a number and takes its sign.
const char* GroupReader::take_blanks(const char* at, const char* end) {
    while (at != end && is_c_space(*at)) {
        ++at;
    }
    if (at != end) {
        negative_ = *at == '-';
        at += *at == '-' || *at == '+' ? 1 : 0;
        magnitude_ = 0;
        phase_ = Phase::digits;
    }
    return at;
}

// Takes digits up to the first other byte, which ends the number.
const char* GroupReader::take_digits(const char* at, const char* end) {
    for (unsigned digit; at != end && (digit = static_cast<unsigned char>(*at) - '0') < 10; ++at) {
        magnitude_ = magnitude_ * 10 + digit;
        if (magnitude_ > magnitude_limit) {
            state_ = State::unreadable;
            return at;
        }
    }
    if (at != end) {
        if (!negative_ && magnitude_ == magnitude_limit) {
            state_ = State::unreadable;
            return at;
        }
        const auto magnitude = static_cast<std::int64_t>(magnitude_);
        group_.values[member_] = negative_ ? -magnitude : magnitude;
        phase_ = Phase::delimiter;
    }
    return at;
}

// Passes over the rest of the field to the delimiter awaited next.
const char* GroupReader::take_delimiter(const char* at, const char* end) {
    const char awaited = member_ < 3 ? ',' : ']';
    for (; at != end; ++at) {
        if (*at == awaited) {
            ++member_;
            state_ = member_ == 4 ? State::read : State::reading;
            phase_ = Phase::blanks;
            return at + 1;
        }
        if (*at == ']') {
            state_ = State::unreadable;
            return at;
        }
    }
    return at;
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
