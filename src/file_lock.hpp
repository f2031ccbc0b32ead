// Waiting for other runs that convert the same file.
#pragma once

#include "signals.hpp"

namespace tessaran {

enum class LockResult { locked, interrupted, failed };

// Takes an exclusive lock on the open file `fd`, waiting as long as another holder keeps it, but
// giving up at once when a held signal arrives. The lock goes with the descriptor's last close.
LockResult lock_exclusively(int fd, const HeldSignals& signals);

}  // namespace tessaran
