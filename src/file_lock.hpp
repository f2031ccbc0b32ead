// Waiting for other runs that convert the same file.
#pragma once

#include <cstdint>

#include "fd.hpp"
#include "signals.hpp"

namespace tessaran {

enum class LockResult : std::uint8_t { locked, interrupted, failed };

// Takes an exclusive lock on the open file `fd`, waiting as long as another holder keeps it, but
// giving up at once when a held signal arrives. The lock goes with the descriptor's last close.
LockResult lock_exclusively(int fd, const HeldSignals& signals);

// Opens `name` in `directory` with `flags`, which hold O_NONBLOCK, waiting as long as someone
// holds a lease on the file (another run that has just put it in place, or a file server), but
// giving up at once when a held signal arrives. On failure `fd` holds nothing and errno says why.
LockResult open_when_unleased(int directory, const char* name, int flags, UniqueFd& fd,
                              const HeldSignals& signals);

}  // namespace tessaran
