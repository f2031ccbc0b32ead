// Holding back the signals that would otherwise cut a conversion off halfway.
#include "signals.hpp"

#include <poll.h>

namespace tessaran {
namespace {

// The signals that another process or the terminal sends and whose default action ends the
// process, the real-time ones besides. Those a fault raises (SIGSEGV, SIGBUS, SIGFPE, SIGILL,
// SIGABRT, SIGTRAP, SIGSYS) are not held: holding them would hide the fault, not end cleanly.
// SIGXFSZ is ignored outright, so that a file-size limit fails a write instead.
constexpr int ending_signals[] = {SIGHUP,  SIGINT,    SIGQUIT, SIGUSR1,   SIGUSR2, SIGPIPE, SIGALRM,
                                  SIGTERM, SIGSTKFLT, SIGXCPU, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR};

// Whether `signal` would end the process as things stand: neither ignored nor blocked by the
// caller, who keeps those as they were.
bool would_end(int signal, const sigset_t& blocked) {
    struct sigaction action {};
    return sigismember(&blocked, signal) == 0 && sigaction(signal, nullptr, &action) == 0 &&
           action.sa_handler != SIG_IGN;
}

}  // namespace

// A signal the caller set to be ignored, as nohup and a shell's trap '' do, stays ignored, and
// one the caller blocked stays blocked and pending for the caller: only signals that would have
// ended the process are held back and acted on.
HeldSignals::HeldSignals() {
    sigemptyset(&held_);
    sigemptyset(&previous_);
    sigprocmask(SIG_BLOCK, nullptr, &previous_);
    const auto hold = [this](int signal) {
        if (would_end(signal, previous_)) {
            sigaddset(&held_, signal);
            held_list_[held_count_++] = signal;
        }
    };
    for (const int signal : ending_signals) {
        hold(signal);
    }
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) {
        hold(signal);
    }
    sigprocmask(SIG_BLOCK, &held_, nullptr);
}

HeldSignals::~HeldSignals() {
    sigprocmask(SIG_SETMASK, &previous_, nullptr);
}

// The lowest-numbered one, as the kernel would deliver them. A signal sent to one thread alone
// (one aimed at a thread, or a write's SIGPIPE) is pending for that thread only, where no other
// thread would see it: the first thread to see a held signal notes it for all of them.
int HeldSignals::pending() const {
    if (const int noted = noticed_.load(std::memory_order_relaxed); noted != 0) {
        return noted;
    }
    sigset_t arrived;
    if (sigpending(&arrived) != 0) {
        return 0;
    }
    for (int i = 0; i < held_count_; ++i) {
        if (sigismember(&arrived, held_list_[i]) == 1) {
            int noted = 0;  // another thread may have noted one first: that one stands
            return noticed_.compare_exchange_strong(noted, held_list_[i]) ? held_list_[i] : noted;
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
