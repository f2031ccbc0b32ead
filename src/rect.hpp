// The rectangle rules: reading a bracketed group, scaling it from 1280 x 720 to 1024 x 576, and the
// forms it is written back in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tessaran {

// The canonical form a plain rectangle line is written back in.
enum class RectKind : std::uint8_t { rect = 1, item_rect = 2 };

constexpr std::string_view rect_tag = "<rect>";
constexpr std::string_view item_rect_tag = "<item_rect>";
constexpr std::string_view rect_close = "</rect>";
constexpr std::string_view item_rect_close = "</item_rect>";

// Room for the longest canonical line: "<item_rect>[" 4 x 11 characters, 3 commas and
// "]</item_rect>\n", with some to spare.
constexpr std::size_t rect_line_capacity = 96;

// The four members of a group, each within the signed 32-bit range.
struct Group {
    std::int64_t values[4];
};

// Reads the group that follows a '[' as the C library's atoi reads each field: leading white
// space, one optional sign, digits up to the first other byte, none reading as 0. Each field runs
// on to the delimiter awaited next, ',' three times and then ']'; a ']' before the third ',', or a
// number outside the signed 32-bit range, makes the group unreadable. The group may arrive in any
// number of pieces, so that one of any length needs no buffer.
class GroupReader {
  public:
    enum class State : std::uint8_t { reading, read, unreadable };

    // Takes the bytes of one piece, starting right after the '[' or where the last piece ended.
    // Returns the position where the group was decided (right behind its ']', or at the byte that
    // made it unreadable), or `end` while it is still being read.
    const char* take(const char* at, const char* end);

    State state() const { return cursor_.state; }
    const Group& group() const { return group_; }

  private:
    enum class Phase : std::uint8_t { blanks, digits, delimiter };
    // Where the reading stands between pieces.
    struct Cursor {
        State state = State::reading;
        Phase phase = Phase::blanks;
        int member = 0;
        bool negative = false;
        std::uint64_t magnitude = 0;
    };
    static const char* take_number(Cursor& cursor, const char* at, const char* end, Group& group);
    static const char* take_delimiter(Cursor& cursor, const char* at, const char* end);

    Cursor cursor_;
    Group group_{};
};

// Reads the line of `source` from `start` to `end`, without its line feed, as a plain rectangle
// line: blanks, one tag, blanks, a readable group, blanks, the matching closing tag, blanks and an
// optional CR. False when it is not one. One grammar, wherever the line lies: `source` gives the
// byte at a position (`byte_at`), says whether a text stands at one wholly before a limit
// (`matches`), and reads the group whose '[' stands at one (`read_group`: whether it was readable,
// where it was decided, and the group).
template <typename Source, typename Position>
bool read_plain(Source& source, Position start, Position end, Group& group, RectKind& kind) {
    const auto skip_blanks = [&source, end](Position at) {
        while (at < end && (source.byte_at(at) == ' ' || source.byte_at(at) == '\t')) {
            ++at;
        }
        return at;
    };
    Position at = skip_blanks(start);
    const bool rect = source.matches(at, end, rect_tag);
    if (!rect && !source.matches(at, end, item_rect_tag)) {
        return false;
    }
    at = skip_blanks(at + static_cast<Position>(rect ? rect_tag.size() : item_rect_tag.size()));
    if (at == end || source.byte_at(at) != '[') {
        return false;
    }
    const auto read = source.read_group(at, end);
    if (!read.readable) {
        return false;
    }
    const std::string_view close = rect ? rect_close : item_rect_close;
    at = skip_blanks(read.end);
    if (!source.matches(at, end, close)) {
        return false;
    }
    at = skip_blanks(at + static_cast<Position>(close.size()));
    at += at != end && source.byte_at(at) == '\r' ? 1 : 0;
    group = read.group;
    kind = rect ? RectKind::rect : RectKind::item_rect;
    return at == end;
}

// Reads `line`, without its line feed, as a plain rectangle line (see `read_plain`).
bool read_plain_line(std::string_view line, Group& group, RectKind& kind);

// Writes the canonical line of `kind` for `group`, scaled, line feed included, into `out`.
// Returns its length.
std::size_t retset_point(const Group& group, RectKind kind, char (&out)[rect_line_capacity]);

// Writes "[a,b,c,d]" for `group`, scaled, into `out`. Returns its length.
std::size_t scaled_group(const Group& group, char (&out)[rect_line_capacity]);

}  // namespace tessaran
