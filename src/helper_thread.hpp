// A thread of the run that does one kind of job in the background, one job at a time.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace tessaran {

// Runs jobs one at a time on a thread of its own, started with the first job and kept for the
// next. A thread woken runs at once, where a thread just made waits for its turn on a busy CPU:
// milliseconds, each time. Where no thread can be had, a job runs on the caller's thread.
class HelperThread {
  public:
    // `name` outlives the helper.
    explicit HelperThread(const char* name) : name_(name) {}
    HelperThread(const HelperThread&) = delete;
    HelperThread& operator=(const HelperThread&) = delete;
    // Waits for the job in hand, then ends the thread.
    ~HelperThread();

    // Runs `job` in the background, once the job given before it is done.
    void run(std::function<void()> job);
    // Whether the job given last is done: then `wait` would not wait.
    bool done() const { return done_; }
    // Waits until the job given last is done.
    void wait();

  private:
    void serve();

    const char* name_;
    std::atomic<bool> done_{true};
    // Guarded by `mutex_`: the job given and not yet taken up, whether one is given and not yet
    // done, and whether the thread is to end.
    std::mutex mutex_;
    std::condition_variable changed_;
    std::function<void()> job_;
    bool running_ = false;
    bool ending_ = false;
    // Made by the first job and joined by the destructor, on the caller's thread alone.
    std::thread thread_;
};

}  // namespace tessaran
