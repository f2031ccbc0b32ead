// Holding back the signals that would otherwise cut a conversion off halfway.
#include "signals.hpp"

#include <atomic>

#include <poll.h>

namespace tessaran {
namespace {

// The signals that another process or the terminal sends and whose default action ends the
// process, the real-time ones besides. Those a fault raises (SIGSEGV, SIGBUS, SIGFPE, SIGILL,
// SIGABRT, SIGTRAP, SIGSYS) are not held: holding them would hide the fault, not end cleanly.
// SIGXFSZ is ignored outright, so that a file-size limit fails a write instead.
constexpr int ending_signals[] = {SIGHUP,  SIGINT,    SIGQUIT, SIGUSR1,   SIGUSR2, SIGPIPE, SIGALRM,
                                  SIGTERM, SIGSTKFLT, SIGXCPU, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR};

// The first held signal that arrived, or 0. A handler is given nothing but the signal's number,
// so this one word is the process's own: it is why only one HeldSignals may live at a time.
std::atomic<int> arrived{0};
static_assert(std::atomic<int>::is_always_lock_free, "a handler may only touch a lock-free atomic");

// Notes `signal` unless another came first. It runs on whichever thread the signal reached, at
// once, even on a thread about to end: a signal blocked instead would stay pending for that thread
// alone, and be lost with it.
extern "C" void note_arrival(int signal) {
    int none = 0;
    arrived.compare_exchange_strong(none, signal);
}

// Whether `signal` would end the process as things stand: neither ignored nor blocked by the
// caller, who keeps those as they were.
bool would_end(int signal, const sigset_t& blocked, const struct sigaction& action) {
    return sigismember(&blocked, signal) == 0 && action.sa_handler == SIG_DFL;
}

}  // namespace

// A signal the caller set to be ignored, as nohup and a shell's trap '' do, stays ignored, and
// one the caller blocked stays blocked and pending for the caller: only signals that would have
// ended the process are held back and acted on. They are blocked while the handlers go in, so
// that one arriving meanwhile is noted too.
HeldSignals::HeldSignals() {
    sigemptyset(&held_);
    sigemptyset(&previous_mask_);
    sigprocmask(SIG_BLOCK, nullptr, &previous_mask_);
    const auto hold = [this](int signal) {
        if (sigaction(signal, nullptr, &previous_[signal]) == 0 &&
            would_end(signal, previous_mask_, previous_[signal])) {
            sigaddset(&held_, signal);
        }
    };
    for (const int signal : ending_signals) {
        hold(signal);
    }
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) {
        hold(signal);
    }
    sigprocmask(SIG_BLOCK, &held_, nullptr);
    struct sigaction catching {};
    catching.sa_handler = note_arrival;
    catching.sa_mask = held_;
    catching.sa_flags = SA_RESTART;
    for (int signal = 1; signal < NSIG; ++signal) {
        if (sigismember(&held_, signal) == 1 && sigaction(signal, &catching, nullptr) != 0) {
            sigdelset(&held_, signal);  // it keeps its default action
        }
    }
    sigprocmask(SIG_SETMASK, &previous_mask_, nullptr);
}

HeldSignals::~HeldSignals() {
    sigprocmask(SIG_BLOCK, &held_, nullptr);
    for (int signal = 1; signal < NSIG; ++signal) {
        if (sigismember(&held_, signal) == 1) {
            sigaction(signal, &previous_[signal], nullptr);
        }
    }
    sigprocmask(SIG_SETMASK, &previous_mask_, nullptr);
}

int HeldSignals::pending() const {
    return arrived.load(std::memory_order_relaxed);
}

// A signal that reaches this thread cuts the pause short; one that reaches another does not.
bool HeldSignals::wait(int milliseconds) const {
    (void)::poll(nullptr, 0, milliseconds);
    return pending() != 0;
}

}  // namespace tessaran
