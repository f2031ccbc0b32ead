// Converting the files of a list on several threads, ahead of the caller who takes them in order.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "ahead.hpp"
#include "signals.hpp"

namespace tessaran {

// The name of each thread that converts files ahead.
constexpr char ahead_thread_name[] = "tessaran files";

// Converts the names of a list on threads of its own, at most `window` names ahead of the one the
// caller takes next. Each name goes to the thread its place in the list deals it to, so that a
// thread makes the same calls whenever the list and the files are the same.
class Pipeline {
  public:
    // Starts a thread for each of `turns`, which it converts with; fewer where no more threads
    // can be had (see `threads`).
    Pipeline(std::vector<AheadOfTurn> turns, std::size_t window, const HeldSignals& signals);
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;
    ~Pipeline();

    // How many threads it converts on.
    std::size_t threads() const { return threads_.size(); }
    // Converts `paths[first]` to `paths[count - 1]` from now on, dealt afresh from `first`.
    void start(const char* const* paths, std::size_t count, std::size_t first);
    // Waits for the result for the next name in order; false once a held signal has arrived first.
    bool wait_for_next();
    // Takes the result for the next name in order, once it is there.
    Ahead take();
    // Whether the result for the next name in order is there, so that waiting for it would not
    // wait.
    bool next_ready();
    // Lets each thread finish the name it is converting and start no other. Returns the results
    // made for the names next in order, up to the first name without one, for the caller to hand
    // over or drop; every other result not taken is given up: their work files go, and their files
    // are unlocked.
    std::vector<Ahead> stop();

  private:
    struct Slot {
        Ahead result;
        bool ready = false;
    };

    void work(std::size_t thread);
    bool may_convert(std::size_t position) const;
    bool awaited_ready() const;

    // Set once, then only read, by every thread.
    const HeldSignals& signals_;
    // One for each thread, used by that thread alone; they outlive the threads, which the
    // destructor joins.
    std::vector<AheadOfTurn> turns_;
    // Everything from here to `threads_` is guarded by `mutex_`.
    std::mutex mutex_;
    std::condition_variable ready_;  // results made, or a thread done: for the taker
    std::condition_variable room_;   // room made in the window, or a new start: for the threads
    std::vector<Slot> slots_;        // one per place in the window, by position modulo its size
    std::size_t wake_every_;         // results taken between wake-ups of the threads
    // The list being converted, from `first_` on: set by `start`.
    const char* const* paths_ = nullptr;
    std::size_t count_ = 0;
    std::size_t first_ = 0;
    std::size_t taken_ = 0;    // results the taker has taken since `first_`; 0 at each start
    std::size_t epoch_ = 0;    // one more at each start and stop: results of an older one are stale
    std::size_t busy_ = 0;     // threads converting a name now: one more around each conversion
    std::size_t stride_ = 0;   // the threads there are: each converts every stride-th name
    std::size_t awaited_ = 0;  // the last position the taker waits for, set before it waits
    std::size_t threads_waiting_ = 0;  // threads waiting for room, counted around their wait
    bool taker_waiting_ = false;       // the taker is waiting, set around its wait
    bool running_ = false;             // set by `start`, cleared by `stop`: names may be taken up
    bool ending_ = false;              // set once, by the destructor: the threads return
    // Made by the constructor and joined by the destructor, on the caller's thread alone.
    std::vector<std::thread> threads_;
};

}  // namespace tessaran
