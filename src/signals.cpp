// Holding back the signals that would otherwise cut a conversion off halfway.
#include "signals.hpp"

namespace tessaran {
namespace {

constexpr int held_signals[] = {SIGINT, SIGTERM, SIGHUP};

}  // namespace

HeldSignals::HeldSignals() {
    sigemptyset(&held_);
    for (const int signal : held_signals) {
        sigaddset(&held_, signal);
    }
    sigprocmask(SIG_BLOCK, &held_, &previous_);
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
        if (sigismember(&arrived, signal) == 1) {
            return signal;
        }
    }
    return 0;
}

}  // namespace tessaran
