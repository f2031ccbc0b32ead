// A thread of the run that does one kind of job in the background, one job at a time.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace tessaran {

// Runs jobs in the order given, one at a time, on a thread of its own, made once and kept for
// every job: a thread woken runs soon, where a thread just made waits for its turn on a busy CPU,
// milliseconds each time. Where no thread can be had, a job runs on the caller's thread.
class HelperThread {
  public:
    // `name` outlives the helper.
    explicit HelperThread(const char* name) : name_(name) {}
    HelperThread(const HelperThread&) = delete;
    HelperThread& operator=(const HelperThread&) = delete;
    // Waits for every job given, then ends the thread.
    ~HelperThread();

    // Makes the thread, unless made already, so that it waits for the first job.
    void start();
    // Runs `job` in the background, after every job given before it.
    void run(std::function<void()> job);
    // Whether every job given is done: then `wait` would not wait.
    bool done() const { return done_; }
    // Waits until every job given is done.
    void wait();

  private:
    void serve();

    const char* name_;
    std::atomic<bool> done_{true};
    // Guarded by `mutex_`: the jobs given and not yet taken up, whether one is being done, and
    // whether the thread is to end.
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> jobs_;
    bool running_ = false;
    bool ending_ = false;
    // Made by the first job and joined by the destructor, on the caller's thread alone.
    std::thread thread_;
};

}  // namespace tessaran
