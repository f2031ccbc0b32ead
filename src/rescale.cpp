// The scan over a whole layout stream.
//
// A line can change only where it holds a '[', so the scan leaps from one '[' to the next and
// looks at the lines around them alone. Such a line is either plain, one rectangle element and
// blanks, and is written anew in its canonical form; or it changes only inside the groups that its
// rectangle tags lead to. Everything works on offsets into the input, so a line of any length is
// followed through the window without being held.
#include "rescale.hpp"

#include <algorithm>
#include <cstring>

#include "fd.hpp"
#include "rect.hpp"

namespace tessaran {
namespace {

constexpr std::size_t side_buffer_size = std::size_t{64} * 1024;
constexpr off_t no_limit = Rescaler::to_the_end;

// Where a group was decided: right behind its ']', or at the byte that made it unreadable.
struct GroupRead {
    bool readable;
    off_t end;
    Group group;
};

// One scan of one input. Output is owed from `run_` on: the bytes up to `settled_` will pass as
// they stand, and are handed on before the window moves away from them.
class Scan {
  public:
    Scan(InputWindow& window, char* side, std::size_t side_size, RescaleSink& sink, off_t start)
        : window_(window),
          side_(side),
          side_size_(side_size),
          sink_(sink),
          run_(start),
          settled_(start) {}

    ScanEnd run();

    // What a line too long for the window is read through, by its offsets in the file.
    int byte_at(off_t at) {
        return window_.contains(at) ? static_cast<unsigned char>(*window_.data_at(at))
                                    : slow_byte_at(at);
    }
    bool matches(off_t at, off_t limit, std::string_view text);
    GroupRead read_group(off_t bracket, off_t limit);

  private:
    std::string_view from(off_t at);
    int slow_byte_at(off_t at);
    off_t find(char wanted, off_t at, off_t limit);
    off_t find_tag_end(off_t at, off_t limit);

    off_t convert_line(off_t line_start, off_t bracket);
    bool convert_plain(off_t line_start, off_t line_end, off_t next_line);
    void convert_rich(off_t line_start, off_t bracket, off_t line_end);

    void replace(off_t begin, off_t end, std::string_view bytes);
    void hand_on(off_t to);
    bool halted() const { return stopped_ || reread_failed_ || window_.failed(); }

    InputWindow& window_;
    char* side_;
    std::size_t side_size_;
    RescaleSink& sink_;
    off_t run_;
    off_t settled_;
    bool stopped_ = false;
    bool reread_failed_ = false;
};

ScanEnd Scan::run() {
    off_t at = run_;
    off_t line_start = run_;
    // A hole's zeros hold no '[' and no line feed, so the whole hole is passed in one step.
    for (std::string_view view; !(view = from(at = window_.hole_end(at))).empty();) {
        const void* bracket = std::memchr(view.data(), '[', view.size());
        const std::size_t scanned =
            bracket == nullptr
                ? view.size()
                : static_cast<std::size_t>(static_cast<const char*>(bracket) - view.data());
        // A line feed before the '[' marks where its line starts. Nearly always it stands a few
        // bytes back, where a plain loop costs less than a call.
        const char* behind_feed = nullptr;
        if (bracket != nullptr) {
            const char* at_feed = view.data() + scanned;
            while (at_feed != view.data() && at_feed[-1] != '\n') {
                --at_feed;
            }
            behind_feed = at_feed != view.data() ? at_feed : nullptr;
        } else if (const void* feed = ::memrchr(view.data(), '\n', scanned)) {
            behind_feed = static_cast<const char*>(feed) + 1;
        }
        if (behind_feed != nullptr) {
            line_start = at + (behind_feed - view.data());
        }
        settled_ = line_start;
        if (bracket == nullptr) {
            at += static_cast<off_t>(view.size());
        } else {
            line_start = at = convert_line(line_start, at + static_cast<off_t>(scanned));
        }
    }
    hand_on(at);
    if (window_.failed() || reread_failed_) {
        return ScanEnd::read_failed;
    }
    return stopped_ ? ScanEnd::stopped : ScanEnd::finished;
}

// Converts the line that starts at `line_start` and holds its first '[' at `bracket`. Returns
// where the next line starts.
off_t Scan::convert_line(off_t line_start, off_t bracket) {
    const off_t line_end = find('\n', bracket, no_limit);
    const off_t next_line = line_end + (byte_at(line_end) == '\n' ? 1 : 0);
    if (!convert_plain(line_start, line_end, next_line)) {
        convert_rich(line_start, bracket, line_end);
    }
    settled_ = next_line;
    return next_line;
}

// A plain line is blanks, one tag, blanks, a readable group, blanks, the matching closing tag,
// blanks and an optional CR. It is written anew in its canonical form. Nearly every line lies
// whole in the window and is read there directly; a longer one is read through its offsets.
bool Scan::convert_plain(off_t line_start, off_t line_end, off_t next_line) {
    Group group{};
    RectKind kind = RectKind::rect;
    const bool plain =
        window_.contains(line_start) && line_end <= window_.end()
            ? read_plain_line(std::string_view(window_.data_at(line_start),
                                               static_cast<std::size_t>(line_end - line_start)),
                              group, kind)
            : read_plain(*this, line_start, line_end, group, kind);
    if (!plain) {
        return false;
    }
    char canonical[rect_line_capacity];
    replace(line_start, next_line,
            std::string_view(canonical, retset_point(group, kind, canonical)));
    return true;
}

// Any other line changes only inside the groups its tags lead to: for each tag, the group at the
// first '[' behind it, each group once. A '[' inside a group already replaced cannot start
// another, and neither can one inside a group found unreadable: it would meet the same ']' too
// early, the same end of line or the same oversized number. So each byte is read a bounded number
// of times, however many tags and brackets a line holds.
void Scan::convert_rich(off_t line_start, off_t bracket, off_t line_end) {
    off_t taken_until = line_start;
    for (off_t at = line_start, tag_end; (tag_end = find_tag_end(at, line_end)) != line_end;
         at = tag_end) {
        if (bracket < tag_end) {
            bracket = find('[', tag_end, line_end);
            if (bracket == line_end) {
                return;
            }
        }
        if (bracket < taken_until) {
            continue;
        }
        const GroupRead read = read_group(bracket, line_end);
        taken_until = read.end;
        if (read.readable) {
            char group[rect_line_capacity];
            replace(bracket, read.end, std::string_view(group, scaled_group(read.group, group)));
        }
    }
}

// Reads the group whose '[' stands at `bracket`, within the line that ends at `limit`.
GroupRead Scan::read_group(off_t bracket, off_t limit) {
    GroupReader reader;
    off_t at = bracket + 1;
    while (at < limit && reader.state() == GroupReader::State::reading) {
        // However many zeros a hole holds, they change the reading as one zero does.
        if (const off_t hole_end = std::min(window_.hole_end(at), limit); hole_end > at) {
            constexpr char zero = 0;
            at = reader.take(&zero, &zero + 1) == &zero ? at : hole_end;
            continue;
        }
        const std::string_view view = from(at);
        if (view.empty()) {
            break;
        }
        const std::string_view piece = view.substr(0, static_cast<std::size_t>(limit - at));
        at += reader.take(piece.data(), piece.data() + piece.size()) - piece.data();
    }
    const bool readable = reader.state() == GroupReader::State::read;
    return {readable, readable || reader.state() == GroupReader::State::unreadable ? at : limit,
            reader.group()};
}

// The end of the first "<rect>" or "<item_rect>" from `at` on, or `limit` when there is none.
off_t Scan::find_tag_end(off_t at, off_t limit) {
    for (off_t open; (open = find('<', at, limit)) != limit; at = open + 1) {
        if (matches(open, limit, rect_tag)) {
            return open + static_cast<off_t>(rect_tag.size());
        }
        if (matches(open, limit, item_rect_tag)) {
            return open + static_cast<off_t>(item_rect_tag.size());
        }
    }
    return limit;
}

// The first `wanted` from `at` on, or `limit` when there is none before it, or once the scan has
// halted. Without a limit, the end of the input stands for none.
off_t Scan::find(char wanted, off_t at, off_t limit) {
    // Nothing wanted is a zero: a hole is leapt over.
    for (std::string_view view;
         (at = std::min(window_.hole_end(at), limit)) < limit && !(view = from(at)).empty();) {
        const std::size_t size = std::min(view.size(), static_cast<std::size_t>(limit - at));
        const void* found = std::memchr(view.data(), wanted, size);
        if (found != nullptr) {
            return at + (static_cast<const char*>(found) - view.data());
        }
        at += static_cast<off_t>(size);
    }
    return halted() ? limit : std::min(at, limit);
}

// Whether `text` stands at `at`, wholly before `limit`.
bool Scan::matches(off_t at, off_t limit, std::string_view text) {
    const auto size = static_cast<off_t>(text.size());
    if (limit - at < size) {
        return false;
    }
    if (window_.contains(at) && window_.contains(at + size - 1)) {
        return std::memcmp(window_.data_at(at), text.data(), text.size()) == 0;
    }
    for (off_t i = 0; i < size; ++i) {
        if (byte_at(at + i) != static_cast<unsigned char>(text[static_cast<std::size_t>(i)])) {
            return false;
        }
    }
    return true;
}

// The byte at `at`, or -1 past the end of the input.
int Scan::slow_byte_at(off_t at) {
    const std::string_view view = from(at);
    return view.empty() ? -1 : static_cast<unsigned char>(view.front());
}

// The window from `at`; before it moves away from bytes that are settled, they are handed on.
// Every line that changes starts at or behind `settled_`, so the window keeps that in view.
std::string_view Scan::from(off_t at) {
    if (halted()) {
        return {};
    }
    if (!window_.contains(at) && settled_ > run_) {
        hand_on(settled_);
    }
    return window_.from(at, settled_);
}

// Puts `bytes` in place of the input from `begin` to `end`, unless they are the same bytes.
void Scan::replace(off_t begin, off_t end, std::string_view bytes) {
    if (end - begin == static_cast<off_t>(bytes.size()) && matches(begin, end, bytes)) {
        return;
    }
    hand_on(begin);
    if (halted()) {
        return;
    }
    stopped_ = !sink_.replace(bytes);
    run_ = end;
}

// Hands on the input up to `to` as it stands: from the window where it holds the bytes, otherwise
// read again through the side buffer, which leaves the window where it is.
void Scan::hand_on(off_t to) {
    while (run_ < to && !halted()) {
        if (const off_t hole_end = std::min(window_.hole_end(run_), to); hole_end > run_) {
            stopped_ = !sink_.pass_zeros(hole_end - run_);
            if (stopped_) {
                return;
            }
            run_ = hole_end;
            continue;
        }
        std::string_view bytes;
        if (window_.contains(run_)) {
            bytes = std::string_view(window_.data_at(run_),
                                     static_cast<std::size_t>(std::min(to, window_.end()) - run_));
        } else {
            const off_t stop = run_ < window_.start() ? std::min(to, window_.start()) : to;
            const auto wanted = std::min(side_size_, static_cast<std::size_t>(stop - run_));
            const long count = window_.read_into(side_, wanted, run_);
            reread_failed_ = count <= 0 || window_.interrupted();
            bytes = std::string_view(side_, reread_failed_ ? 0 : static_cast<std::size_t>(count));
        }
        if (reread_failed_ || !sink_.pass(bytes)) {
            stopped_ = !reread_failed_;
            return;
        }
        run_ += static_cast<off_t>(bytes.size());
    }
}

}  // namespace

bool RescaleSink::pass_zeros(off_t count) {
    static constexpr char zeros[4096] = {};
    while (count > 0) {
        const auto size = static_cast<std::size_t>(std::min<off_t>(count, sizeof zeros));
        if (!pass(std::string_view(zeros, size))) {
            return false;
        }
        count -= static_cast<off_t>(size);
    }
    return true;
}

Rescaler::Rescaler(std::size_t block_size)
    : block_(new char[block_size]),
      side_(new char[std::min(block_size, side_buffer_size)]),
      side_size_(std::min(block_size, side_buffer_size)),
      window_(block_.get(), block_size) {}

ScanEnd Rescaler::run(int fd, off_t begin, RescaleSink& sink, off_t end) {
    window_.reset(fd, end);
    return Scan(window_, side_.get(), side_size_, sink, begin).run();
}

// A line starts behind the first line feed at or after `at - 1`; a hole holds none.
off_t Rescaler::line_start_from(int fd, off_t at, off_t end) {
    if (at == 0) {
        return 0;
    }
    window_.reset(fd, end);
    for (off_t from = at - 1;;) {
        from = window_.hole_end(from);
        const std::string_view view = window_.from(from, from);
        if (view.empty()) {
            return window_.failed() ? -1 : std::max(at, from);
        }
        if (const void* feed = std::memchr(view.data(), '\n', view.size())) {
            return from + (static_cast<const char*>(feed) - view.data()) + 1;
        }
        from += static_cast<off_t>(view.size());
    }
}

}  // namespace tessaran
