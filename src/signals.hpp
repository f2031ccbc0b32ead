// Holding back the signals that would otherwise cut a conversion off halfway.
#pragma once

#include <signal.h>

namespace tessaran {

// While it lives, every signal sent from outside whose default action ends the process (SIGINT,
// SIGTERM, SIGHUP, SIGPIPE, SIGALRM, SIGUSR1, the real-time signals, ...), unless ignored or
// blocked by the caller, is caught and noted instead of ending it, so that nothing can stop it
// between creating a work file and removing it. The converter asks for it at safe points and gives
// up its files; the caller then lets the signal end the process. Only one may live at a time.
class HeldSignals {
  public:
    HeldSignals();
    ~HeldSignals();
    HeldSignals(const HeldSignals&) = delete;
    HeldSignals& operator=(const HeldSignals&) = delete;

    // The first held signal that has arrived, or 0.
    int pending() const;

    // Sleeps for `milliseconds`, or less once a signal arrives, then says whether a held signal
    // has arrived.
    bool wait(int milliseconds) const;

  private:
    sigset_t held_;
    sigset_t previous_mask_;
    struct sigaction previous_[NSIG] = {};
};

}  // namespace tessaran
