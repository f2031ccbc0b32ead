// A second, plain reading of the conversion rules, line by line with string searches, for the
// fuzz target and the differential test to hold the scan against. It shares no code with it.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace reference {

// The field as the C library reads a decimal number; false when outside 32 bits.
inline bool number(const std::string& field, long long& value) {
    errno = 0;
    value = std::strtoll(field.c_str(), nullptr, 10);
    return errno != ERANGE && value >= INT32_MIN && value <= INT32_MAX;
}

// Reads the group at the '[' at `bracket`: three fields to a ',' with no ']' before it, the fourth
// to the next ']'. Leaves the end behind the ']' in `end`.
inline bool group(const std::string& line, std::size_t bracket, std::size_t& end,
                  long long (&values)[4]) {
    std::size_t at = bracket + 1;
    for (int member = 0; member < 4; ++member) {
        const std::size_t stop = line.find(member < 3 ? ',' : ']', at);
        if (stop == std::string::npos || (member < 3 && line.find(']', at) < stop) ||
            !number(line.substr(at, stop - at), values[member])) {
            return false;
        }
        at = stop + 1;
    }
    end = at;
    return true;
}

inline std::string scaled(const long long (&values)[4]) {
    char out[96];
    std::snprintf(out, sizeof out, "[%lld,%lld,%lld,%lld]", values[0] * 1024 / 1280,
                  values[1] * 576 / 720, values[2] * 1024 / 1280, values[3] * 576 / 720);
    return out;
}

// The canonical line when `line` (without its line feed) is plain, or "".
inline std::string plain(const std::string& line) {
    const char* const blanks = " \t";
    for (const std::string tag : {"rect", "item_rect"}) {
        std::size_t at = line.find_first_not_of(blanks);
        long long values[4];
        if (at == std::string::npos || line.compare(at, tag.size() + 2, "<" + tag + ">") != 0 ||
            (at = line.find_first_not_of(blanks, at + tag.size() + 2)) == std::string::npos ||
            line[at] != '[' || !group(line, at, at, values)) {
            continue;
        }
        at = std::min(line.find_first_not_of(blanks, at), line.size());
        if (line.compare(at, tag.size() + 3, "</" + tag + ">") != 0) {
            continue;
        }
        at = std::min(line.find_first_not_of(blanks, at + tag.size() + 3), line.size());
        at += at < line.size() && line[at] == '\r' ? 1 : 0;
        if (at == line.size()) {
            return "<" + tag + ">" + scaled(values) + "</" + tag + ">\n";
        }
    }
    return "";
}

// Any other line: each tag, in order, leads to the first '[' behind it; a readable group there
// that does not start inside one replaced already is replaced.
inline std::string rich(const std::string& line) {
    std::vector<std::size_t> tag_ends;
    for (const std::string tag : {"<rect>", "<item_rect>"}) {
        for (std::size_t at = line.find(tag); at != std::string::npos;
             at = line.find(tag, at + 1)) {
            tag_ends.push_back(at + tag.size());
        }
    }
    std::sort(tag_ends.begin(), tag_ends.end());
    std::string out;
    std::size_t copied = 0;
    for (const std::size_t tag_end : tag_ends) {
        const std::size_t bracket = line.find('[', tag_end);
        std::size_t end = 0;
        long long values[4];
        if (bracket != std::string::npos && bracket >= copied &&
            group(line, bracket, end, values)) {
            out += line.substr(copied, bracket - copied) + scaled(values);
            copied = end;
        }
    }
    return out + line.substr(copied);
}

// What a whole stream must become.
inline std::string converted(std::string_view input) {
    std::string expected;
    while (!input.empty()) {
        const std::size_t feed = input.find('\n');
        const std::size_t length = feed == std::string_view::npos ? input.size() : feed;
        const std::string line(input.substr(0, length));
        const std::string feed_text = feed == std::string_view::npos ? "" : "\n";
        const std::string canonical = plain(line);
        expected += canonical.empty() ? rich(line) + feed_text : canonical;
        input.remove_prefix(std::min(input.size(), length + 1));
    }
    return expected;
}

}  // namespace reference
