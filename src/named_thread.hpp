// Starting a thread of the run under a name of its own.
#pragma once

#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include <pthread.h>

namespace tessaran {

// Starts `run` on a thread named `name`, so that whoever looks at the run's threads can tell them
// apart; an empty thread, not joinable, where no thread can be had.
template <typename Run>
std::thread start_named_thread(const char* name, Run&& run) {
    try {
        std::thread thread(std::forward<Run>(run));
        (void)::pthread_setname_np(thread.native_handle(), name);
        return thread;
    } catch (const std::system_error&) {
        return std::thread();
    } catch (const std::bad_alloc&) {
        return std::thread();
    }
}

}  // namespace tessaran
