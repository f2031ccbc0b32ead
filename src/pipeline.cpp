// Converting the files of a list on several threads, ahead of the caller who takes them in order.
#include "pipeline.hpp"

#include <algorithm>
#include <chrono>
#include <utility>

#include "named_thread.hpp"

namespace tessaran {
namespace {

// How long the taker waits before it looks for a held signal again: a signal's handler cannot wake
// it.
constexpr std::chrono::milliseconds signal_look = std::chrono::milliseconds(20);
// Results the taker waits for at once, at most.
constexpr std::size_t most_awaited = 16;

}  // namespace

Pipeline::Pipeline(std::vector<AheadOfTurn> turns, std::size_t window, const HeldSignals& signals)
    : signals_(signals),
      turns_(std::move(turns)),
      slots_(std::max<std::size_t>(window, 1)),
      wake_every_(std::clamp<std::size_t>(window / 4, 1, most_awaited)) {
    // Fewer threads than asked for, where no more can be had: the ones made share the list.
    threads_.reserve(turns_.size());
    for (std::size_t thread = 0; thread < turns_.size(); ++thread) {
        std::thread started =
            start_named_thread(ahead_thread_name, [this, thread] { work(thread); });
        if (!started.joinable()) {
            break;
        }
        threads_.push_back(std::move(started));
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    stride_ = threads_.size();
}

Pipeline::~Pipeline() {
    stop();
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ending_ = true;
    }
    room_.notify_all();
    for (std::thread& thread : threads_) {
        thread.join();
    }
}

void Pipeline::start(const char* const* paths, std::size_t count, std::size_t first) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        paths_ = paths;
        count_ = count;
        first_ = first;
        taken_ = 0;
        ++epoch_;
        running_ = true;
    }
    room_.notify_all();
}

// Waits for a run of results rather than each one: a wake-up costs more than converting a small
// file, and the results come in about as fast as they are taken.
bool Pipeline::wait_for_next() {
    std::unique_lock<std::mutex> lock(mutex_);
    const Slot& slot = slots_[taken_ % slots_.size()];
    while (!slot.ready) {
        if (signals_.pending() != 0) {
            return false;
        }
        if (threads_waiting_ > 0) {
            room_.notify_all();
        }
        awaited_ = std::min(taken_ + wake_every_, count_ - first_) - 1;
        taker_waiting_ = true;
        ready_.wait_for(lock, signal_look);
        taker_waiting_ = false;
    }
    return true;
}

Ahead Pipeline::take() {
    const std::lock_guard<std::mutex> lock(mutex_);
    Slot& slot = slots_[taken_ % slots_.size()];
    Ahead result = std::move(slot.result);
    slot.ready = false;
    ++taken_;
    if (threads_waiting_ > 0 && taken_ % wake_every_ == 0) {
        room_.notify_all();
    }
    return result;
}

bool Pipeline::next_ready() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return slots_[taken_ % slots_.size()].ready;
}

std::vector<Ahead> Pipeline::stop() {
    std::vector<Ahead> made;
    std::vector<Ahead> dropped;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        running_ = false;
        room_.notify_all();
        taker_waiting_ = true;
        ready_.wait(lock, [this] { return busy_ == 0; });
        taker_waiting_ = false;
        ++epoch_;
        for (std::size_t position = taken_; position < taken_ + slots_.size(); ++position) {
            Slot& slot = slots_[position % slots_.size()];
            if (slot.ready) {
                (made.size() == position - taken_ ? made : dropped)
                    .push_back(std::move(slot.result));
                slot.ready = false;
            }
        }
    }
    return made;
}  // the dropped files go here, on the caller's thread

// Whether the name at `position` past the first is to be converted now: it is in the list, and
// within the window ahead of the next one to be taken.
bool Pipeline::may_convert(std::size_t position) const {
    return running_ && first_ + position < count_ && position < taken_ + slots_.size();
}

// Whether every result the taker waits for is there.
bool Pipeline::awaited_ready() const {
    for (std::size_t position = taken_; position <= awaited_; ++position) {
        if (!slots_[position % slots_.size()].ready) {
            return false;
        }
    }
    return true;
}

// Converts every name whose position is `thread` more than a multiple of the number of threads.
// A result made before a stop is stale: it is given up here, on this thread.
void Pipeline::work(std::size_t thread) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::size_t epoch = 0;
    std::size_t position = 0;
    while (!ending_) {
        if (epoch != epoch_) {
            epoch = epoch_;
            position = thread;
        }
        if (!may_convert(position)) {
            ++threads_waiting_;
            room_.wait(lock);
            --threads_waiting_;
            continue;
        }
        const char* path = paths_[first_ + position];
        ++busy_;
        lock.unlock();
        Ahead result = turns_[thread].convert(path);
        lock.lock();
        if (epoch == epoch_) {
            slots_[position % slots_.size()] = {std::move(result), true};
            position += stride_;
        } else {  // its lock and work file go before a stop returns
            lock.unlock();
            result = {};
            lock.lock();
        }
        --busy_;
        if (taker_waiting_ && (busy_ == 0 || awaited_ready())) {
            ready_.notify_one();
        }
    }
}

}  // namespace tessaran
