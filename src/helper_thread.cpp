// A thread of the run that does one kind of job in the background, one job at a time.
#include "helper_thread.hpp"

#include <utility>

#include "named_thread.hpp"

namespace tessaran {

HelperThread::~HelperThread() {
    if (!thread_.joinable()) {
        return;
    }
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ending_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void HelperThread::start() {
    if (!thread_.joinable()) {
        thread_ = start_named_thread(name_, [this] { serve(); });
    }
}

void HelperThread::run(std::function<void()> job) {
    start();
    if (!thread_.joinable()) {
        job();
        return;
    }
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back(std::move(job));
        done_ = false;
    }
    changed_.notify_all();
}

void HelperThread::wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return jobs_.empty() && !running_; });
}

// Every job given before the end is done before the thread ends.
void HelperThread::serve() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return !jobs_.empty() || ending_; });
        if (jobs_.empty()) {
            return;
        }
        const std::function<void()> job = std::move(jobs_.front());
        jobs_.pop_front();
        running_ = true;
        lock.unlock();
        job();
        lock.lock();
        running_ = false;
        done_ = jobs_.empty();
        changed_.notify_all();
    }
}

}  // namespace tessaran
