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
      removals_(most_files),
      report_(std::move(report)),
      most_files_(most_files),
      renamed_(most_files),
      renamed_before_flush_(most_files) {
    entries_.reserve(most_entries);
}

// Whatever is still held was never committed: its work files go, and the files keep their
// old content. A flush still running is waited for, since it writes through their descriptors.
Batch::~Batch() {
    flusher_.wait();
    closer_.wait();
}

// A file put in place on its own is committed as soon as it is held, so it is the last entry.
bool Batch::full() const {
    const bool alone = !entries_.empty() && entries_.back().held &&
                       put_in_place_alone(entries_.back().held->durability);
    return alone || held_files_ >= most_files_ || held_bytes_ >= most_held_bytes ||
           entries_.size() >= most_entries;
}

// Asked for every file taken in turn: most names could be no work file's, and need no look.
bool Batch::holds_work_name(const std::string& name) const {
    if (!could_be_work_name(name)) {
        return false;
    }
    const auto named = [&name](const Entry& entry) {
        return entry.held && entry.held->work.name() == name;
    };
    return std::any_of(placing_.begin(), placing_.end(), named) ||
           std::any_of(flushing_.begin(), flushing_.end(), named) ||
           std::any_of(entries_.begin(), entries_.end(), named);
}

bool Batch::holds_inode(dev_t device, ino_t inode) const {
    const auto holds = [device, inode](const Entry& entry) {
        return entry.held &&
               ((entry.held->start.st_dev == device && entry.held->start.st_ino == inode) ||
                (entry.held->written.st_dev == device && entry.held->written.st_ino == inode));
    };
    return std::any_of(placing_.begin(), placing_.end(), holds) ||
           std::any_of(flushing_.begin(), flushing_.end(), holds) ||
           std::any_of(entries_.begin(), entries_.end(), holds);
}

// The thread that flushes is made while the first set fills, so that it waits for the flush by
// the time the set is full.
void Batch::hold(const char* path, std::unique_ptr<HeldFile> file) {
    if (held_files_ == most_files_ / 2) {
        flusher_.start();
    }
    held_bytes_ += std::min(file->start.st_size, most_held_bytes);  // a sparse file may be exabytes
    ++held_files_;
    held_to_flush_ += file->durability != Durability::none_needed ? 1 : 0;
    entries_.push_back({path, Outcome::converted, std::move(file), false});
}

void Batch::record(const char* path, Outcome outcome) {
    if (entries_.empty() && flushing_.empty() && placing_.empty()) {
        report_(path, outcome);
        return;
    }
    entries_.push_back({path, outcome, nullptr, false});
}

// Nothing is put in place once a held signal has arrived, so nothing is flushed either. After a
// set flushed in the background, this set's flush goes on while that one is put in place; the
// folders renamed into are then flushed for both.
void Batch::commit() {
    finish_placing();
    if (!flushing_.empty()) {
        end_flush(flushing_);
    }
    auto flush = std::make_unique<BatchFlush>(flush_of(entries_));
    const bool to_flush = held_files_ > 0 && signals_.pending() == 0 && flush->needed();
    if (to_flush) {
        start_flush(std::move(flush), !flushing_.empty());
    }
    if (!flushing_.empty()) {
        put_in_place_and_report(flushing_, true);
        flushing_.clear();
    }
    if (to_flush) {
        end_flush(entries_);
    }
    put_in_place_and_report(entries_, false);
    start_filling();
}

// The set flushed before is put in place while this one is flushed: its renames are then put on
// disk by the flush after. What is left of the set before that waits no longer than this flush's
// start.
void Batch::commit_in_background() {
    auto flush = std::make_unique<BatchFlush>(flush_of(entries_));
    if (signals_.pending() != 0 || !flush->needed()) {
        return commit();
    }
    std::vector<Entry> flushed;
    if (!flushing_.empty()) {
        end_flush(flushing_);
        flushed.swap(flushing_);
    }
    start_flush(std::move(flush), true);
    flushing_.swap(entries_);
    start_filling();
    finish_placing();
    placing_.swap(flushed);
}

bool Batch::catch_up(std::size_t most) {
    if (placing_.empty() && !flushing_.empty() && flusher_.done()) {
        end_flush(flushing_);
        placing_.swap(flushing_);
    }
    place_some(most);
    return !placing_.empty();
}

// Renames in the order named, a few at a time; the checks and retries that need the whole set
// come once all are made.
void Batch::place_some(std::size_t most) {
    for (std::size_t placed = 0; next_to_place_ < placing_.size() && placed < most;
         ++next_to_place_) {
        Entry& entry = placing_[next_to_place_];
        if (entry.held) {
            entry.outcome = signals_.pending() != 0 ? Outcome::interrupted : put_in_place(entry);
            ++placed;
        }
    }
    if (placing_.empty() || next_to_place_ < placing_.size()) {
        return;
    }
    settle_placed(placing_, true);
    for (const Entry& entry : placing_) {
        report_(entry.path, entry.outcome);
    }
    placing_.clear();
    next_to_place_ = 0;
    if (flushing_.empty()) {
        report_leading_outcomes();
    }
}

// Where no thread can be had, the flush is made at once. A whole file system flushed holds the
// renames made there before it began.
void Batch::start_flush(std::unique_ptr<BatchFlush> flush, bool in_background) {
    std::swap(renamed_, renamed_before_flush_);
    flush_ = std::move(flush);
    if (in_background) {
        flusher_.run([this] { flush_->run(); });
    } else {
        flush_->run();
    }
}

void Batch::end_flush(std::vector<Entry>& entries) {
    flusher_.wait();
    take_flush(*flush_, entries);
    let_go_of_flushed_renames(*flush_);
    flush_.reset();
}

// Every outcome before the first file held is final, with nothing left ahead of it to report.
void Batch::report_leading_outcomes() {
    auto first_held = std::find_if(entries_.begin(), entries_.end(),
                                   [](const Entry& entry) { return entry.held != nullptr; });
    for (auto entry = entries_.begin(); entry != first_held; ++entry) {
        report_(entry->path, entry->outcome);
    }
    entries_.erase(entries_.begin(), first_held);
}

void Batch::start_filling() {
    entries_.clear();
    entries_.reserve(most_entries);
    held_files_ = 0;
    held_to_flush_ = 0;
    held_bytes_ = 0;
}

BatchFlush Batch::flush_of(const std::vector<Entry>& entries) {
    BatchFlush flush;
    for (const Entry& entry : entries) {
        if (entry.held) {
            flush.add(entry.held->work.fd(), entry.held->written.st_dev, entry.held->durability);
        } else {
            flush.add(-1, 0, Durability::none_needed);
        }
    }
    return flush;
}

// A file bind-mounted from elsewhere has its work file on its directory's file system, not on its
// own: each is flushed through its work file.
void Batch::take_flush(const BatchFlush& flush, std::vector<Entry>& entries) {
    for (std::size_t index = 0; index < entries.size(); ++index) {
        entries[index].flush_failed = !flush.made_durable(index);
    }
}

void Batch::put_in_place_and_report(std::vector<Entry>& entries, bool keep_old_files) {
    put_in_place_all(entries, keep_old_files);
    for (const Entry& entry : entries) {
        report_(entry.path, entry.outcome);
    }
}

void Batch::put_in_place_all(std::vector<Entry>& entries, bool keep_old_files) {
    place_each(entries);
    settle_placed(entries, keep_old_files);
}

// A rename short of room is tried again once every other file of the batch is in place and its
// old file gone: one at a time, it would have had that room, as a write short of room would. The
// old files' room may come back only once the file system commits their removal, so it is flushed
// first. Where a retry places nothing, the last file short of room is given up, its work file's
// room with it, and the rest tried again. Where `keep_old_files`, and none ran short, the old files
// are kept until the next set's flush puts the renames on disk, rather than a flush of their own.
void Batch::settle_placed(std::vector<Entry>& entries, bool keep_old_files) {
    for (bool placed = true;;) {
        Entry* last_short = nullptr;
        for (Entry& entry : entries) {
            if (!entry.held) {
                continue;
            }
            if (entry.outcome == Outcome::converted &&
                !put_in_place_alone(entry.held->durability)) {
                renamed_.folders.changed(entry.held->target.directory.get(),
                                         entry.held->target.folder);
            } else if (entry.rename_short_of_room) {
                last_short = &entry;
            } else if (entry.outcome != Outcome::converted) {
                entry.held.reset();  // the lock, the directory, and the work file go
            }
        }
        if (!placed && last_short != nullptr) {
            last_short->rename_short_of_room = false;
            last_short->held.reset();
        }
        if (keep_old_files && last_short == nullptr) {
            return keep_old_files_open(entries);
        }
        let_go_of_old_files(entries);
        if (last_short == nullptr) {
            return;
        }
        placed = place_short_of_room(entries);
    }
}

// Puts every held file in place, in the order named, so that a run killed at any rename has
// renamed exactly the files of the batch named before it.
void Batch::place_each(std::vector<Entry>& entries) {
    for (Entry& entry : entries) {
        if (entry.held) {
            entry.outcome = signals_.pending() != 0 ? Outcome::interrupted : put_in_place(entry);
        }
    }
}

// Tries again each file whose rename ran short of room, once its file system has given back what
// it can; whether any of them is now in place.
bool Batch::place_short_of_room(std::vector<Entry>& entries) {
    bool flushed = false;
    bool placed = false;
    for (Entry& entry : entries) {
        if (entry.held && entry.rename_short_of_room) {
            if (!flushed) {
                (void)::syncfs(entry.held->work.fd());
                flushed = true;
            }
            entry.outcome = signals_.pending() != 0 ? Outcome::interrupted : put_in_place(entry);
            placed = placed || entry.outcome == Outcome::converted;
        }
    }
    return placed;
}

// Until the renames are on disk, a block that an old file frees may be handed to a work file
// being written (ext4 with data=writeback does so), and a power cut would bring back an old file
// that holds other bytes. So the old files stay open, their blocks theirs, until then. Then every
// other one is closed on the closing thread, since the last close of each costs about as much as a
// rename, and the batch waits for both halves: their room may be needed next.
void Batch::let_go_of_old_files(std::vector<Entry>& entries) {
    directories_failed_ = !renamed_.folders.flush() || directories_failed_;
    auto closing = std::make_shared<std::vector<UniqueFd>>();
    closing->swap(renamed_.old_files);
    std::size_t old_files = 0;
    for (Entry& entry : entries) {
        if (entry.held && !entry.rename_short_of_room && ++old_files % 2 == 0) {
            closing->push_back(std::move(entry.held->input));
        }
    }
    if (!closing->empty()) {
        closer_.run([closing] { closing->clear(); });
    }
    for (Entry& entry : entries) {
        if (entry.held && !entry.rename_short_of_room) {
            entry.held.reset();  // the lock, the directory, and the old file go
        }
    }
    closer_.wait();
}

void Batch::keep_old_files_open(std::vector<Entry>& entries) {
    for (Entry& entry : entries) {
        if (entry.held) {
            renamed_.old_files.push_back(std::move(entry.held->input));
            entry.held.reset();  // the directory goes; the work file went once in place
        }
    }
}

// The folders renamed into before the flush began, on file systems it did not flush whole, are
// flushed now, before the old files go.
void Batch::let_go_of_flushed_renames(const BatchFlush& flush) {
    for (const dev_t device : flush.flushed()) {
        renamed_before_flush_.folders.flushed_with(device);
    }
    directories_failed_ = !renamed_before_flush_.folders.flush() || directories_failed_;
    if (renamed_before_flush_.old_files.empty()) {
        return;
    }
    auto closing = std::make_shared<std::vector<UniqueFd>>();
    closing->swap(renamed_before_flush_.old_files);
    closer_.run([closing] { closing->clear(); });
}

// The work file stays open across the rename, so that the checks before it see the file that is
// renamed; its data was made durable before, so closing it can report nothing new.
Outcome Batch::put_in_place(Entry& entry) {
    HeldFile& file = *entry.held;
    entry.rename_short_of_room = false;
    // Someone else who opened the work file could read or write the converted file through it.
    // Under a lease, no one has opened it since this run made it, so no one has written to it.
    if (entry.flush_failed || changed_since(file.input.get(), file.start) ||
        file.work.opened_by_others() ||
        (!file.work.leased() && written_to_since(file.work.fd(), file.written)) ||
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
        removals_.flushed(file.target.folder);
    }
    file.work.remove_swapped_out();
    file.work.let_go();
    removals_.changed(file.target.directory.get(), file.target.folder);
    return Outcome::converted;
}

}  // namespace tessaran
