// Making renames durable: flushing each directory a file was renamed into.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <vector>

#include "fd.hpp"

namespace tessaran {

// Notes the directories into which files were renamed and flushes each once when asked, so that
// the renames survive a power failure. Only so many stay open at a time: past that, or when
// descriptors run short, they are flushed early, and a directory renamed into again is flushed
// again.
class DirectorySync {
  public:
    explicit DirectorySync(std::size_t most_held_open);
    // Notes that an entry of `directory`, a descriptor of it of any kind, of `folder`, changed: a
    // file renamed into it, or one removed.
    void changed(int directory, FileId folder);
    // Notes that the directory `folder` has been flushed since: it needs no flush of its own.
    void flushed(FileId folder);
    // Notes that the whole file system `device` has been flushed since every directory on it was
    // noted: none of them needs a flush of its own.
    void flushed_with(dev_t device);
    // Flushes every directory noted since the last call. False if any could not be flushed.
    bool flush();

  private:
    struct Noted {
        dev_t device;
        ino_t inode;
        UniqueFd fd;
    };
    std::size_t most_held_open_;
    std::vector<Noted> noted_;
    bool failed_ = false;
};

}  // namespace tessaran
