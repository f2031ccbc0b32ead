// Holding back the signals that would otherwise cut a conversion off halfway.
#include "signals.hpp"

#include <poll.h>

namespace tessaran {
namespace {

constexpr int held_signals[] = {SIGINT, SIGTERM, SIGHUP};

}  // namespace

// A signal the caller set to be ignored, as nohup and a shell's trap '' do, stays ignored, and
// one the caller blocked stays blocked and pending for the caller: only signals that would have
// ended the process are held back and acted on.
HeldSignals::HeldSignals() {
    sigemptyset(&held_);
    sigemptyset(&previous_);
    sigprocmask(SIG_BLOCK, nullptr, &previous_);
    for (const int signal : held_signals) {
        struct sigaction action {};
        if (sigismember(&previous_, signal) == 0 && sigaction(signal, nullptr, &action) == 0 &&
            action.sa_handler != SIG_IGN) {
            sigaddset(&held_, signal);
        }
    }
    sigprocmask(SIG_BLOCK, &held_, nullptr);
}

HeldSignals::~HeldSignals() {
    sigprocmask(SIG_SETMASK, &previous_, nullptr);
}

int HeldSignals::pending() const {
    sigset_t arrived;
    if (sigpending(&arrived) != 0) {
        return 0;
    }
    for (const int signal : held_signals) {
        if (sigismember(&held_, signal) == 1 && sigismember(&arrived, signal) == 1) {
            return signal;
        }
    }
    return 0;
}

// A held signal cannot cut a sleep short, so the pause is brief and the signal looked for after.
bool HeldSignals::wait(int milliseconds) const {
    (void)::poll(nullptr, 0, milliseconds);
    return pending() != 0;
}

}  // namespace tessaran
