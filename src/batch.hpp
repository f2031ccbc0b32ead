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
#include "durability.hpp"
#include "held_file.hpp"
#include "helper_thread.hpp"
#include "outcome.hpp"
#include "signals.hpp"

namespace tessaran {

// The names of the threads that flush a batch's file systems in the background, and that close its
// old files.
constexpr char flush_thread_name[] = "tessaran flush";
constexpr char close_thread_name[] = "tessaran close";

// Holds finished work files, and the outcomes of the files named between them, until it is
// committed: then each file system the work files lie on is flushed once, every work file is
// renamed over its file in the order the names were given, and every outcome is reported in that
// order. It holds descriptors, never content. The flush may run in the background while the next
// files are taken: two sets of files are then held, the one being flushed and the one being filled.
class Batch {
  public:
    // `most_files` bounds the files of each set, so that a run keeps descriptors to spare.
    Batch(const HeldSignals& signals, Report report, std::size_t most_files);
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
    ~Batch();

    // Whether the batch should be committed before another file is taken.
    bool full() const;
    // Whether committing it now costs no flush of a file system, nor a wait for one: every file
    // held lies where nothing survives a power cut anyway.
    bool free_to_commit() const {
        return !entries_.empty() && held_to_flush_ == 0 && flushing_.empty() && placing_.empty();
    }
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
    // writes a block they may have freed. The sets flushed in the background go first.
    void commit();
    // Commits as `commit` does, but with the flush of the file systems on a thread of its own,
    // while the next files are taken and the set flushed before is put in place, a few files at a
    // time (see `catch_up`). Where there is nothing to flush, this commits at once.
    void commit_in_background();
    // Puts up to `most` more files in place, of the set flushed in the background, once its flush
    // is done; once all are, reports its outcomes, then those recorded behind it. Whether any of
    // that set is left to put in place.
    bool catch_up(std::size_t most);

  private:
    struct Entry {
        const char* path;
        Outcome outcome;
        std::unique_ptr<HeldFile> held;
        bool flush_failed;
        bool rename_short_of_room = false;
    };

    // Renames not yet known to be on disk: the folders renamed into, and the old files, kept open
    // so that their blocks stay theirs until then.
    struct Renames {
        explicit Renames(std::size_t most_folders) : folders(most_folders) {}
        DirectorySync folders;
        std::vector<UniqueFd> old_files;
    };

    static BatchFlush flush_of(const std::vector<Entry>& entries);
    // Flushes the file systems `flush` names, on a thread of its own if `in_background`.
    void start_flush(std::unique_ptr<BatchFlush> flush, bool in_background);
    // Waits for the flush started last, takes what it found into `entries`, and lets go of what
    // it put on disk.
    void end_flush(std::vector<Entry>& entries);
    void take_flush(const BatchFlush& flush, std::vector<Entry>& entries);
    void put_in_place_and_report(std::vector<Entry>& entries, bool keep_old_files);
    Outcome put_in_place(Entry& entry);
    Outcome swap_in(HeldFile& file);
    void put_in_place_all(std::vector<Entry>& entries, bool keep_old_files);
    void settle_placed(std::vector<Entry>& entries, bool keep_old_files);
    void place_some(std::size_t most);
    void finish_placing() { place_some(static_cast<std::size_t>(-1)); }
    void keep_old_files_open(std::vector<Entry>& entries);
    void let_go_of_flushed_renames(const BatchFlush& flush);
    void place_each(std::vector<Entry>& entries);
    bool place_short_of_room(std::vector<Entry>& entries);
    void let_go_of_old_files(std::vector<Entry>& entries);
    void report_leading_outcomes();
    void start_filling();

    const HeldSignals& signals_;
    DirectorySync removals_;  // folders a swapped-out old file was removed from since their flush
    Report report_;
    std::size_t most_files_;
    std::vector<Entry> entries_;  // the set being filled
    // The set being flushed in the background, by `flusher_` through `flush_`; the flusher uses
    // only `flush_`. The set flushed before it is put in place a few files at a time, from
    // `next_to_place_` on, so that the set being filled does not wait for all of it.
    std::vector<Entry> flushing_;
    std::unique_ptr<BatchFlush> flush_;
    std::vector<Entry> placing_;
    std::size_t next_to_place_ = 0;
    // The renames made since the last flush began, and those made before the flush now running
    // began, which its end puts on disk. A set is put in place while the next one is flushed, so
    // that neither waits for the other. Old files let go of are closed on `closer_`: the last
    // close of a file replaced frees its blocks, which costs as much as a rename.
    Renames renamed_;
    Renames renamed_before_flush_;
    std::size_t held_files_ = 0;
    std::size_t held_to_flush_ = 0;  // held files whose durability needs a flush
    off_t held_bytes_ = 0;
    bool directories_failed_ = false;
    // Last, so that they are done with their jobs before what the jobs use goes.
    HelperThread flusher_{flush_thread_name};
    HelperThread closer_{close_thread_name};
};

}  // namespace tessaran
