// Waiting for other runs that convert the same file.
#include "file_lock.hpp"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>

namespace tessaran {
namespace {

constexpr int longest_pause_ms = 20;

}  // namespace

// A blocking flock cannot be woken by a signal that is held back, so the lock is tried without
// blocking, with short pauses between, after each of which a held signal ends the wait.
LockResult lock_exclusively(int fd, const HeldSignals& signals) {
    for (int pause_ms = 1;; pause_ms = std::min(pause_ms * 2, longest_pause_ms)) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            return LockResult::locked;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            return LockResult::failed;
        }
        if (signals.wait(pause_ms)) {
            return LockResult::interrupted;
        }
    }
}

// A lease makes a non-blocking open fail at once while it starts the lease's break; the open is
// tried again until the holder lets go.
LockResult open_when_unleased(int directory, const char* name, int flags, UniqueFd& fd,
                              const HeldSignals& signals) {
    for (int pause_ms = 1;; pause_ms = std::min(pause_ms * 2, longest_pause_ms)) {
        fd = UniqueFd(::openat(directory, name, flags));
        if (fd) {
            return LockResult::locked;
        }
        if (errno != EWOULDBLOCK) {
            return LockResult::failed;
        }
        if (signals.wait(pause_ms)) {
            return LockResult::interrupted;
        }
    }
}

}  // namespace tessaran
