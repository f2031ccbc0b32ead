// Holding back the signals that would otherwise cut a conversion off halfway.
#pragma once

#include <atomic>

#include <signal.h>

namespace tessaran {

// While it lives, every signal sent from outside whose default action ends the process (SIGINT,
// SIGTERM, SIGHUP, SIGPIPE, SIGALRM, SIGUSR1, the real-time signals, ...), unless ignored, stays
// pending instead of ending it, so that nothing can stop it between creating a work file and
// removing it. The converter asks for them at safe points and gives up its files; the caller then
// lets the signal end the process.
class HeldSignals {
  public:
    HeldSignals();
    ~HeldSignals();
    HeldSignals(const HeldSignals&) = delete;
    HeldSignals& operator=(const HeldSignals&) = delete;

    // The first held signal that has arrived, or 0.
    int pending() const;

    // Sleeps for `milliseconds`, then says whether a held signal has arrived.
    bool wait(int milliseconds) const;

  private:
    sigset_t held_;
    sigset_t previous_;
    // The held signals one by one: the C library's test for an empty set reads only part of a set,
    // so a set that holds only real-time signals would look empty.
    int held_list_[NSIG] = {};
    int held_count_ = 0;
    // The first held signal any thread has seen arrive, or 0.
    mutable std::atomic<int> noticed_{0};
};

}  // namespace tessaran
