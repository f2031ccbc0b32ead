// Files converted into their work files, waiting to be made durable together and put in place.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "directory_sync.hpp"
#include "held_file.hpp"
#include "outcome.hpp"
#include "signals.hpp"

namespace tessaran {

// Holds finished work files, and the outcomes of the files named between them, until it is
// committed: then each file system the work files lie on is flushed once, every work file is
// renamed over its file in the order the names were given, and every outcome is reported in that
// order. It holds descriptors, never content.
class Batch {
  public:
    // `most_files` bounds the files held at once, so that a run keeps descriptors to spare.
    Batch(const HeldSignals& signals, Report report, std::size_t most_files);
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
    ~Batch();

    // Whether no file is held.
    bool empty() const { return held_files_ == 0; }
    // Whether the batch should be committed before another file is taken.
    bool full() const;
    // Whether committing it now costs no flush of a file system: every file held lies where
    // nothing survives a power cut anyway.
    bool free_to_commit() const { return !entries_.empty() && held_to_flush_ == 0; }
    // Whether a held work file, in any directory, is named `name`.
    bool holds_work_name(const std::string& name) const;
    // Whether the file of `device` and `inode` is held, as a file to convert or as a work file.
    bool holds_inode(dev_t device, ino_t inode) const;
    // Commits what is held and flushes the folders of the last removals; says whether every
    // directory changed so far has been flushed.
    bool finish() {
        commit();
        directories_failed_ = !removals_.flush() || directories_failed_;
        return !directories_failed_;
    }

    // Takes `file`, named `path`, to be put in place at the commit.
    void hold(const char* path, std::unique_ptr<HeldFile> file);
    // Records the final outcome of `path`: reported at once if nothing is held, else in its turn.
    void record(const char* path, Outcome outcome);

    // Makes every held work file durable and puts it in place, flushes the directories renamed
    // into, then reports every outcome. A file whose flush, check or rename fails alone fails.
    // Once a held signal has arrived, no more renames: each file not yet put in place keeps its
    // old content, and its work file is removed. The renames are on disk before the next batch
    // writes a block they may have freed.
    void commit();

  private:
    struct Entry {
        const char* path;
        Outcome outcome;
        std::unique_ptr<HeldFile> held;
        bool flush_failed;
        bool rename_short_of_room = false;
    };

    void make_durable();
    Outcome put_in_place(Entry& entry);
    Outcome swap_in(HeldFile& file);
    void put_in_place_all();
    void let_go_of_old_files();

    const HeldSignals& signals_;
    DirectorySync directories_;
    DirectorySync removals_;  // folders a swapped-out old file was removed from since their flush
    Report report_;
    std::size_t most_files_;
    std::vector<Entry> entries_;
    std::size_t held_files_ = 0;
    std::size_t held_to_flush_ = 0;  // held files whose durability needs a flush
    off_t held_bytes_ = 0;
    bool directories_failed_ = false;
};

}  // namespace tessaran
