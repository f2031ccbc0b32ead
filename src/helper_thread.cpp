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

void HelperThread::run(std::function<void()> job) {
    wait();
    if (!thread_.joinable()) {
        thread_ = start_named_thread(name_, [this] { serve(); });
    }
    if (!thread_.joinable()) {
        job();
        return;
    }
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        job_ = std::move(job);
        running_ = true;
        done_ = false;
    }
    changed_.notify_all();
}

void HelperThread::wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !running_; });
}

// A job given before the end is done before the thread ends.
void HelperThread::serve() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return job_ || ending_; });
        if (!job_) {
            return;
        }
        const std::function<void()> job = std::move(job_);
        job_ = nullptr;
        lock.unlock();
        job();
        lock.lock();
        running_ = false;
        done_ = true;
        changed_.notify_all();
    }
}

}  // namespace tessaran
