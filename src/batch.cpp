// Files converted into their work files, waiting to be made durable together and put in place.
#include "batch.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace tessaran {
namespace {

// Outcomes waiting for their turn, at most, so that memory stays small whatever the arguments.
constexpr std::size_t most_entries = 1024;

// Whether `then` and `now` show the same size and modification time: no write and no cut between.
bool same_content_time(const struct stat& then, const struct stat& now) {
    return now.st_size == then.st_size && now.st_mtim.tv_sec == then.st_mtim.tv_sec &&
           now.st_mtim.tv_nsec == then.st_mtim.tv_nsec;
}

// Whether the file `fd` has been written to, truncated, or had its mode, owner or attributes
// changed since `start` was taken: then what was converted is no longer what the file holds,
// and what was given to the work file no longer what the file grants.
bool changed_since(int fd, const struct stat& start) {
    struct stat now {};
    return ::fstat(fd, &now) != 0 || !same_content_time(start, now) ||
           now.st_ctim.tv_sec != start.st_ctim.tv_sec ||
           now.st_ctim.tv_nsec != start.st_ctim.tv_nsec;
}

// Whether anyone wrote to the work file `fd` or cut it since this run's last write left it as
// `written`: then it no longer holds exactly the bytes this run wrote.
bool written_to_since(int fd, const struct stat& written) {
    struct stat now {};
    return ::fstat(fd, &now) != 0 || !same_content_time(written, now);
}

// Whether `path`, looked up afresh, still leads to the file converted as `start`: a folder on the
// way may have been moved away and another put in its place since, and the rename would then
// convert a file the name no longer leads to.
bool still_named(const char* path, const struct stat& start) {
    struct stat named {};
    return ::stat(path, &named) == 0 && named.st_dev == start.st_dev &&
           named.st_ino == start.st_ino;
}

}  // namespace

Batch::Batch(const HeldSignals& signals, Report report, std::size_t most_files)
    : signals_(signals),
      directories_(most_files),
      removals_(most_files),
      report_(std::move(report)),
      most_files_(most_files) {
    entries_.reserve(most_entries);
}

// Whatever is still held was never committed: its work files go, and the files keep their
// old content.
Batch::~Batch() = default;

// A file put in place on its own is committed as soon as it is held, so it is the last entry.
bool Batch::full() const {
    const bool alone = !entries_.empty() && entries_.back().held &&
                       put_in_place_alone(entries_.back().held->durability);
    return alone || held_files_ >= most_files_ || held_bytes_ >= most_held_bytes ||
           entries_.size() >= most_entries;
}

bool Batch::holds_work_name(const std::string& name) const {
    for (const Entry& entry : entries_) {
        if (entry.held && entry.held->work.name() == name) {
            return true;
        }
    }
    return false;
}

bool Batch::holds_inode(dev_t device, ino_t inode) const {
    for (const Entry& entry : entries_) {
        if (entry.held &&
            ((entry.held->start.st_dev == device && entry.held->start.st_ino == inode) ||
             (entry.held->written.st_dev == device && entry.held->written.st_ino == inode))) {
            return true;
        }
    }
    return false;
}

void Batch::hold(const char* path, std::unique_ptr<HeldFile> file) {
    held_bytes_ += std::min(file->start.st_size, most_held_bytes);  // a sparse file may be exabytes
    ++held_files_;
    held_to_flush_ += file->durability != Durability::none_needed ? 1 : 0;
    entries_.push_back({path, Outcome::converted, std::move(file), false});
}

void Batch::record(const char* path, Outcome outcome) {
    if (entries_.empty()) {
        report_(path, outcome);
        return;
    }
    entries_.push_back({path, outcome, nullptr, false});
}

// Nothing is put in place once a held signal has arrived, so nothing is flushed either.
void Batch::commit() {
    if (held_files_ > 0 && signals_.pending() == 0) {
        make_durable();
    }
    put_in_place_all();
    for (const Entry& entry : entries_) {
        report_(entry.path, entry.outcome);
    }
    entries_.clear();
    held_files_ = 0;
    held_to_flush_ = 0;
    held_bytes_ = 0;
}

// A rename short of room is tried again once every other file of the batch is in place and its
// old file gone: one at a time, it would have had that room, as a write short of room would. The
// old files' room may come back only once the file system commits their removal, so it is flushed
// first. Where a retry places nothing, the last file short of room is given up, its work file's
// room with it, and the rest tried again.
void Batch::put_in_place_all() {
    for (bool first = true, again = true; again; first = false) {
        bool placed = false;
        Entry* last_short = nullptr;
        for (Entry& entry : entries_) {
            if (entry.held && (first || entry.rename_short_of_room)) {
                if (!first && last_short == nullptr) {
                    (void)::syncfs(entry.held->work.fd());
                }
                entry.outcome =
                    signals_.pending() != 0 ? Outcome::interrupted : put_in_place(entry);
                placed = placed || entry.outcome == Outcome::converted;
                last_short = entry.rename_short_of_room ? &entry : last_short;
            }
            if (entry.held && entry.outcome != Outcome::converted && !entry.rename_short_of_room) {
                entry.held.reset();  // the lock, the directory, and the work file go
            }
        }
        if (!first && !placed && last_short != nullptr) {
            last_short->rename_short_of_room = false;
            last_short->held.reset();
        }
        let_go_of_old_files();
        again = last_short != nullptr;
    }
}

// Until the renames are on disk, a block that an old file frees may be handed to a work file
// being written (ext4 with data=writeback does so), and a power cut would bring back an old file
// that holds other bytes. So the old files stay open, their blocks theirs, until then.
void Batch::let_go_of_old_files() {
    directories_failed_ = !directories_.flush() || directories_failed_;
    for (Entry& entry : entries_) {
        if (entry.held && !entry.rename_short_of_room) {
            entry.held.reset();  // the lock, the directory, and the old file go
        }
    }
}

// Each file system is flushed once, through the first work file on it: a file bind-mounted from
// elsewhere has its work file on its directory's file system, not on its own.
void Batch::make_durable() {
    BatchFlush flush;
    for (Entry& entry : entries_) {
        if (entry.held) {
            const HeldFile& file = *entry.held;
            entry.flush_failed =
                !flush.made_durable(file.work.fd(), file.written.st_dev, file.durability);
        }
    }
}

// The work file stays open across the rename, so that the checks before it see the file that is
// renamed; its data was made durable before, so closing it can report nothing new.
Outcome Batch::put_in_place(Entry& entry) {
    HeldFile& file = *entry.held;
    entry.rename_short_of_room = false;
    // Someone else who opened the work file could read or write the converted file through it.
    if (entry.flush_failed || changed_since(file.input.get(), file.start) ||
        written_to_since(file.work.fd(), file.written) || file.work.opened_by_others() ||
        !still_named(entry.path, file.start)) {
        return Outcome::failed;
    }
    if (file.durability == Durability::swapped_in) {
        return swap_in(file);
    }
    if (!file.work.rename_over(file.target.name)) {
        entry.rename_short_of_room = errno == ENOSPC || errno == EDQUOT;
        return Outcome::failed;
    }
    file.work.let_go();
    directories_.changed(file.target.directory.get(), file.folder);
    return Outcome::converted;
}

// Without a journal, a rename over a file changes the folder and the old file's link count in two
// writes that may land in either order, and a repair at boot may then clear the new entry. Swapped
// in, both files keep their links until the folder holds the new entry on disk; only then does the
// old content, now under the work name, go. A folder that cannot be flushed fails the run's
// flush, as for any batch: the file is converted, but may not survive a power cut. The removal is
// made durable by the next flush of its folder: the next swap into it, or the run's last flush.
Outcome Batch::swap_in(HeldFile& file) {
    if (!file.work.swap_with(file.target.name)) {
        return Outcome::failed;
    }
    const UniqueFd folder = open_folder(file.target.directory.get());
    const bool flushed = folder && ::fsync(folder.get()) == 0;
    directories_failed_ = !flushed || directories_failed_;
    if (flushed) {
        removals_.flushed(file.folder);
    }
    file.work.remove_swapped_out();
    file.work.let_go();
    removals_.changed(file.target.directory.get(), file.folder);
    return Outcome::converted;
}

}  // namespace tessaran
