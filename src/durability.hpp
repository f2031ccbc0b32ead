// How the files a run writes are made to survive a power cut, by the file system they lie on.
#pragma once

#include <atomic>
#include <cstddef>
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

// Whether a file of `durability` is put in place on its own: its batch is committed as soon as it
// holds it.
constexpr bool put_in_place_alone(Durability durability) {
    return durability == Durability::swapped_in;
}

// A work file made ready for its batch: how it is made durable, and the error of the call that
// failed, or 0.
struct Prepared {
    Durability durability;
    int error;
};

// The file systems a run writes to, shared by every thread of the run: how each makes a work file
// durable, and which the run has written to. What an earlier run renamed may not be on disk yet, if
// it was killed before its flush: blocks its renames freed could then be handed to this run's work
// files, and a power cut would bring back an old file holding this run's bytes. So each file system
// is flushed once before the run first writes there, by whichever thread writes there first; any
// other thread about to write there waits for that flush.
class FileSystems {
  public:
    // Flushes the file system `device` of `directory`, unless the run has written there before.
    // That flush is of what came before, not of this run's files: its failure fails none of them.
    void before_writing(int directory, dev_t device);
    // Makes the finished work file `work`, on the file system `device`, as durable as its batch
    // needs before that batch's own flush: on its own, where no flush of the batch does it.
    Prepared prepare(int work, dev_t device);
    // Whether files in the folder `directory`, on the file system `device`, are swapped in one at
    // a time; once one is found, the run converts one file after the other (see
    // `one_at_a_time`).
    bool swapped_in(dev_t device, int directory);
    // Whether a folder where files are swapped in one at a time has been found.
    bool one_at_a_time() const { return one_at_a_time_; }

  private:
    struct Known {
        dev_t device;
        Durability durability;
    };
    Durability of(dev_t device, int fd);

    std::mutex written_mutex_;  // guards `written_to_`, and is held across the flush
    std::vector<dev_t> written_to_;
    std::mutex known_mutex_;  // guards `known_`
    std::vector<Known> known_;
    std::atomic<bool> one_at_a_time_{false};
};

// Makes the work files of one batch durable: each file system once, through the first work file
// on it. A failed flush of a whole file system may stem from any file on it, this run's or another
// program's: each work file on it is then flushed on its own to learn which of them are sound. It
// may be run on a thread of its own: it keeps its own list of the work files.
class BatchFlush {
  public:
    // Adds the work file `work` on the file system `device`, prepared as `durability`; -1 for an
    // outcome that holds no work file.
    void add(int work, dev_t device, Durability durability);
    // Whether any work file added needs the flush of its file system.
    bool needed() const;
    // Flushes the file system of every work file that needs it.
    void run();
    // Whether the work file added `index`-th is durable, once run.
    bool made_durable(std::size_t index) const { return !files_[index].failed; }
    // The file systems flushed whole, once run: all that was written there before is durable.
    const std::vector<dev_t>& flushed() const { return flushed_; }

  private:
    struct File {
        int work;
        dev_t device;
        bool with_batch;  // made durable by the flush of its file system
        bool failed;
    };
    std::vector<File> files_;
    std::vector<dev_t> flushed_;
};

}  // namespace tessaran
