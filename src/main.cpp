// tessaran: rescales the rectangles of layout files from 1280 x 720 to 1024 x 576, in place.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "convert.hpp"
#include "signals.hpp"

namespace {

constexpr int exit_converted = 0;
constexpr int exit_some_failed = 1;
constexpr int exit_usage = 2;

bool is_control(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
}

// `path` as it is shown in a message, so that it cannot forge a line or drive the terminal: a name
// with control characters has them written as escapes, and its backslashes doubled so that the
// escapes read back unambiguously. Any other name is shown as it is.
std::string shown(const char* path) {
    const std::string_view name(path);
    if (std::none_of(name.begin(), name.end(), is_control)) {
        return std::string(name);
    }
    std::string escaped;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\' || c == '\n' || c == '\t' || c == '\r') {
            escaped += '\\';
            escaped += c == '\n' ? 'n' : c == '\t' ? 't' : c == '\r' ? 'r' : '\\';
        } else if (is_control(c)) {
            escaped +=
                {'\\', static_cast<char>('0' + (byte >> 6)),
                 static_cast<char>('0' + ((byte >> 3) & 7)), static_cast<char>('0' + (byte & 7))};
        } else {
            escaped += c;
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
        case tessaran::Outcome::interrupted:
            break;  // no message: the process ends of the signal right after
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

// Ends the process of `signal`, which is pending, so that whoever started it sees that signal.
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
    for (int i = 1; i < argc; ++i) {
        converter.convert(argv[i]);
        if (const int signal = signals.pending(); signal != 0) {
            (void)converter.finish();
            die_of(signal);
        }
    }
    // Status 0 means converted and on disk: the renames too must survive a power failure.
    if (!converter.finish()) {
        status = exit_some_failed;
    }
    return status;
}
