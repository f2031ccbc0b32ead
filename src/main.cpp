// tessaran: rescales the rectangles of layout files from 1280 x 720 to 1024 x 576, in place.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>

#include "convert.hpp"
#include "signals.hpp"

namespace {

constexpr int exit_converted = 0;
constexpr int exit_some_failed = 1;
constexpr int exit_usage = 2;

// Characters that print as nothing or move what is around them: the line and paragraph
// separators, which some readers split lines at, and every format character (bidirectional
// controls, zero-width spaces and joiners, the byte order mark, tags, ...), by which two names that
// differ would show alike.
constexpr std::pair<char32_t, char32_t> unshown[] = {
    {0x00ad, 0x00ad},   {0x0600, 0x0605},   {0x061c, 0x061c},   {0x06dd, 0x06dd},
    {0x070f, 0x070f},   {0x0890, 0x0891},   {0x08e2, 0x08e2},   {0x180e, 0x180e},
    {0x200b, 0x200f},   {0x2028, 0x202e},   {0x2060, 0x206f},   {0xfeff, 0xfeff},
    {0xfff9, 0xfffb},   {0x110bd, 0x110bd}, {0x110cd, 0x110cd}, {0x13430, 0x1343f},
    {0x1bca0, 0x1bca3}, {0x1d173, 0x1d17a}, {0xe0001, 0xe0001}, {0xe0020, 0xe007f},
};

bool shows_nothing_or_reorders(char32_t code) {
    return std::any_of(std::begin(unshown), std::end(unshown), [code](const auto& range) {
        return code >= range.first && code <= range.second;
    });
}

// The length of the character that starts `rest` when it may be printed as it stands, or 0 when
// its first byte must be escaped: a C0 or C1 control character, DEL, a separator or format
// character, or a byte that does not start a valid UTF-8 sequence (overlong, a surrogate, past
// U+10FFFF, or cut short).
std::size_t printable_length(std::string_view rest) {
    const auto lead = static_cast<unsigned char>(rest[0]);
    if (lead < 0x80) {
        return lead < 0x20 || lead == 0x7f ? 0 : 1;
    }
    const std::size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 0;
    if (length == 0 || lead > 0xf4 || rest.size() < length) {
        return 0;
    }
    char32_t code = lead & (0x7fU >> length);
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(rest[i]);
        if ((next & 0xc0) != 0x80) {
            return 0;
        }
        code = code << 6 | (next & 0x3fU);
    }
    constexpr char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    const bool valid =
        code >= least[length] && code <= 0x10ffff && (code < 0xd800 || code > 0xdfff);
    return valid && (code < 0x80 || code > 0x9f) && !shows_nothing_or_reorders(code) ? length : 0;
}

// Whether every character of `name` may be printed as it stands, and no backslash could be read
// as the start of an escape.
bool printable(std::string_view name) {
    for (std::size_t at = 0, length = 0; at < name.size(); at += length) {
        length = printable_length(name.substr(at));
        if (length == 0 || name[at] == '\\') {
            return false;
        }
    }
    return true;
}

// `byte` written as an escape: \\, \n, \t, \r, or three octal digits.
void append_escaped(std::string& escaped, unsigned char byte) {
    escaped += '\\';
    switch (byte) {
        case '\\':
            escaped += '\\';
            break;
        case '\n':
            escaped += 'n';
            break;
        case '\t':
            escaped += 't';
            break;
        case '\r':
            escaped += 'r';
            break;
        default:
            escaped +=
                {static_cast<char>('0' + (byte >> 6)), static_cast<char>('0' + ((byte >> 3) & 7)),
                 static_cast<char>('0' + (byte & 7))};
    }
}

// `path` as it is shown in a message, so that it cannot forge a line or drive any terminal, and no
// character in it prints as nothing or reorders the rest: control characters, separators, format
// characters and bytes that are not UTF-8 are written as escapes, and every backslash is doubled.
// Every other character, whatever its script, is shown as it is, so letters of two scripts that
// look alike still show alike.
std::string shown(const char* path) {
    const std::string_view name(path);
    if (printable(name)) {
        return std::string(name);
    }
    std::string escaped;
    for (std::size_t at = 0; at < name.size();) {
        const std::size_t length = printable_length(name.substr(at));
        if (length == 0 || name[at] == '\\') {
            append_escaped(escaped, static_cast<unsigned char>(name[at]));
            ++at;
        } else {
            escaped += name.substr(at, length);
            at += length;
        }
    }
    return escaped;
}

// Prints the message for a file that was not converted; says whether the file counts as converted.
bool report(tessaran::Outcome outcome, const char* path) {
    switch (outcome) {
        case tessaran::Outcome::converted:
        case tessaran::Outcome::unchanged:
            return true;
        case tessaran::Outcome::interrupted:  // the process ends of the signal right after
            break;                            // no message
        case tessaran::Outcome::missing:
            std::printf("%s is not exist!\n", shown(path).c_str());
            break;
        case tessaran::Outcome::not_openable:
            std::printf("%s is can not open!\n", shown(path).c_str());
            break;
        case tessaran::Outcome::failed:
            std::printf("%s tessaran fail!\n", shown(path).c_str());
            break;
    }
    return false;
}

// Ends the process of `signal`, which has arrived (perhaps for another thread alone, so it is
// raised here), so that whoever started it sees that signal.
[[noreturn]] void die_of(int signal) {
    (void)std::fflush(stdout);
    (void)std::signal(signal, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    (void)std::raise(signal);
    std::_Exit(128 + signal);
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc <= 1) {
        std::printf("please input parameter!\n");
        std::printf("example: tessaran wnd_main_menu.xml\n");
        return exit_usage;
    }
    // A file-size limit must show up as a failed write, which keeps the input, not as death.
    (void)std::signal(SIGXFSZ, SIG_IGN);
    tessaran::HeldSignals signals;
    int status = exit_converted;
    tessaran::Converter converter(signals, [&status](const char* path, tessaran::Outcome outcome) {
        if (!report(outcome, path)) {
            status = exit_some_failed;
        }
    });
    converter.convert_all(argv + 1, static_cast<std::size_t>(argc - 1));
    if (const int signal = signals.pending(); signal != 0) {
        (void)converter.finish();
        die_of(signal);
    }
    // Status 0 means converted and on disk: the renames too must survive a power failure.
    if (!converter.finish()) {
        status = exit_some_failed;
    }
    // Every message decided reaches the output before the run ends, whatever ends it. One that
    // could not be written fails the run; SIGPIPE, unless ignored, was held and ends it now.
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        status = exit_some_failed;
    }
    if (const int signal = signals.pending(); signal != 0) {
        die_of(signal);
    }
    return status;
}
