// Waiting for other runs that convert the same file.
#include "file_lock.hpp"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>

namespace tessaran {
namespace {

constexpr int longest_pause_ms = 20;

// Makes `attempt` until it succeeds or fails otherwise than with `busy` (or an interruption), with
// short pauses between, each a little longer than the last, after each of which a held signal ends
// the wait: a blocking call would be taken up again after the signal's handler, and never return
// to look.
template <typename Attempt>
LockResult keep_trying(Attempt attempt, int busy, const HeldSignals& signals) {
    for (int pause_ms = 1;; pause_ms = std::min(pause_ms * 2, longest_pause_ms)) {
        if (attempt()) {
            return LockResult::locked;
        }
        if (errno != busy && errno != EINTR) {
            return LockResult::failed;
        }
        if (signals.wait(pause_ms)) {
            return LockResult::interrupted;
        }
    }
}

}  // namespace

LockResult lock_exclusively(int fd, const HeldSignals& signals) {
    return keep_trying([fd] { return ::flock(fd, LOCK_EX | LOCK_NB) == 0; }, EWOULDBLOCK, signals);
}

// A lease makes a non-blocking open fail at once while it starts the lease's break.
LockResult open_when_unleased(int directory, const char* name, int flags, UniqueFd& fd,
                              const HeldSignals& signals) {
    return keep_trying(
        [&] {
            fd = UniqueFd(::openat(directory, name, flags));
            return static_cast<bool>(fd);
        },
        EWOULDBLOCK, signals);
}

}  // namespace tessaran
