// How the files a run writes are made to survive a power cut, by the file system they lie on.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include <sys/types.h>

namespace tessaran {

// How a work file is made durable before it is put in place.
enum class Durability : std::uint8_t {
    none_needed,  // a file system in memory: nothing survives a power cut anyway
    with_batch,   // one flush of the whole file system makes every file on it durable
    on_its_own,   // the file system's own flush cannot be trusted with that: an fsync each
    swapped_in,   // no journal orders its writes: an fsync each, put in place on its own, swapped
                  // with the old file and the folder flushed before the old file's link goes
};

// The durability a work file on the file system `device`, open as `fd`, needs.
Durability durability_of(int fd, dev_t device);

// Flushes the whole file system that holds `directory`, a descriptor of any kind; what the flush
// found is of no account to the caller.
void flush_file_system(int directory);

// The file systems a run has written to. What an earlier run renamed may not be on disk yet, if
// it was killed before its flush: blocks its renames freed could then be handed to this run's work
// files, and a power cut would bring back an old file holding this run's bytes. So each file system
// is flushed once before the run first writes there, by whichever thread writes there first; any
// other thread about to write there waits for that flush. Shared by every thread of a run.
class FirstWrites {
  public:
    // Flushes the file system `device` of `directory`, unless the run has written there before.
    // That flush is of what came before, not of this run's files: its failure fails none of them.
    void before_writing(int directory, dev_t device);

  private:
    std::mutex mutex_;  // guards `written_to_`, and is held across the flush
    std::vector<dev_t> written_to_;
};

}  // namespace tessaran
