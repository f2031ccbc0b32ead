// Converting one named file into a work file beside it, in its turn or ahead of it.
#include "convert_file.hpp"

#include <cerrno>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "attributes.hpp"
#include "fd.hpp"
#include "file_lock.hpp"
#include "rescale.hpp"

namespace tessaran {
namespace {

// Stops the scan at the first change, and counts the whole lines before it: they need neither a
// second scan nor a change.
class ChangeProbe final : public RescaleSink {
  public:
    bool pass(std::string_view unchanged) override {
        const void* feed = ::memrchr(unchanged.data(), '\n', unchanged.size());
        if (feed != nullptr) {
            unchanged_prefix = passed_ + (static_cast<const char*>(feed) - unchanged.data()) + 1;
        }
        passed_ += static_cast<off_t>(unchanged.size());
        return true;
    }
    bool replace(std::string_view) override {
        changed = true;
        return false;
    }
    bool pass_zeros(off_t count) override {  // a hole holds no line feed
        passed_ += count;
        return true;
    }

    bool changed = false;
    off_t unchanged_prefix = 0;

  private:
    off_t passed_ = 0;
};

// Files up to this size are converted in one pass.
constexpr off_t small_file = off_t{64} * 1024;
constexpr int input_flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// Whether `verdict` is a failure that holding fewer files may cure, by the error of the call that
// failed: the space that the old files of a batch still take up, or the descriptors it holds.
bool short_of_room(const Verdict& verdict) {
    const bool failed = verdict.outcome == Outcome::failed || verdict.outcome == Outcome::missing ||
                        verdict.outcome == Outcome::not_openable;
    return failed && (verdict.error == ENOSPC || verdict.error == EDQUOT ||
                      verdict.error == EMFILE || verdict.error == ENFILE);
}

// Whether the file `fd`, of `status`, has holes: fewer blocks than its size needs, and a hole
// before its end. Most files have none, and are spared the second question.
bool has_holes(int fd, const struct stat& status) {
    constexpr off_t block = 512;  // the unit of st_blocks
    return status.st_blocks < (status.st_size + block - 1) / block &&
           ::lseek(fd, 0, SEEK_HOLE) < status.st_size;
}

// Whether `target` still names the file `status` describes: the name may have been given to
// another file while this run waited for it.
bool still_names(const Target& target, const struct stat& status) {
    struct stat named {};
    return ::fstatat(target.directory.get(), target.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) ==
               0 &&
           named.st_dev == status.st_dev && named.st_ino == status.st_ino;
}

// What converting a file came to where it ends with `verdict`, and nothing to hold.
Result ended(Verdict verdict) {
    return {verdict, nullptr};
}

}  // namespace

void ThreadBuffers::make(const HeldSignals& signals) {
    if (!first_) {
        first_ = std::make_unique<ChunkBuffers>(signals, chunk_);
    }
    if (with_helper_ && !second_) {
        second_ = std::make_unique<ChunkBuffers>(signals, chunk_);
    }
}

void FileConverter::name_all(const char* const* paths, std::size_t count) {
    named_ = paths;
    named_count_ = count;
}

// A file that runs short of room is tried once more with nothing held, once the room of what was
// let go of has come back: one at a time, it would have had that room. A file system may give
// back the room of files removed or replaced only once it commits them (btrfs does), so it is
// flushed first.
void FileConverter::convert(const char* path, Turn& turn, ThreadBuffers& buffers,
                            LastFolder& folder) {
    std::optional<Result> result = attempt(path, turn, buffers, folder);
    if (result && short_of_room(result->verdict)) {
        if (turn.make_way() == Step::wait_for_turn) {
            return;
        }
        Target target;
        if (locate(path, target, result->verdict)) {
            flush_file_system(target.directory.get());
        }
        result = attempt(path, turn, buffers, folder);
    }
    if (result) {
        turn.hand_over(path, std::move(*result));
    }
}

// Converts `path`, from the start again whenever its turn asks; none while it waits for its turn.
// Memory that runs out fails the one file: what was made for it goes with the unwinding.
std::optional<Result> FileConverter::attempt(const char* path, Turn& turn, ThreadBuffers& buffers,
                                             LastFolder& folder) {
    try {
        buffers.make(signals_);
        for (;;) {
            Try tried = convert_once(path, turn, buffers, folder);
            if (Result* result = std::get_if<Result>(&tried)) {
                return std::move(*result);
            }
            if (std::get<Step>(tried) == Step::wait_for_turn) {
                return std::nullopt;
            }
        }
    } catch (const std::bad_alloc&) {
        return Result{{Outcome::failed, ENOMEM}, nullptr};
    }
}

// Finds, opens, locks and checks the file that `path` names, then converts it. A lease is waited
// for as a lock is, with nothing held. By the time no other run holds the file, its name may lead
// to another: then it is looked up again.
FileConverter::Try FileConverter::convert_once(const char* path, Turn& turn, ThreadBuffers& buffers,
                                               LastFolder& folder) {
    Target target;
    Verdict failure{Outcome::failed};
    if (!locate(path, target, failure, folder)) {
        return ended(failure);
    }
    if (const Step found = turn.on_found(target); found != Step::go_on) {
        return found;
    }
    UniqueFd input(::openat(target.directory.get(), target.name.c_str(), input_flags));
    if (!input && errno == EWOULDBLOCK) {
        if (turn.make_way() == Step::wait_for_turn) {
            return Step::wait_for_turn;
        }
        if (open_when_unleased(target.directory.get(), target.name.c_str(), input_flags, input,
                               signals_) == LockResult::interrupted) {
            return ended({Outcome::interrupted});
        }
    }
    if (!input) {
        return ended(lookup_failure());
    }
    if (std::optional<Try> not_locked = lock(input.get(), turn)) {
        return std::move(*not_locked);
    }
    struct stat status {};
    if (::fstat(input.get(), &status) != 0) {
        return ended({Outcome::failed, errno});
    }
    if (!S_ISREG(status.st_mode)) {  // swapped for another kind since it was found
        return ended({Outcome::not_openable});
    }
    if (!still_names(target, status)) {
        return Step::look_again;
    }
    return convert_locked(target, input, status, turn, buffers);
}

// Takes the exclusive lock on `input`: none once taken, else what the try came to. A run never
// waits while it holds locks, since another run may be waiting for one of them: the turn makes way
// first.
std::optional<FileConverter::Try> FileConverter::lock(int input, Turn& turn) {
    if (::flock(input, LOCK_EX | LOCK_NB) == 0) {
        return std::nullopt;
    }
    if (errno != EWOULDBLOCK) {
        return ended({Outcome::failed, errno});
    }
    if (turn.make_way() == Step::wait_for_turn) {
        return Step::wait_for_turn;
    }
    switch (lock_exclusively(input, signals_)) {
        case LockResult::locked:
            return std::nullopt;
        case LockResult::interrupted:
            return ended({Outcome::interrupted});
        case LockResult::failed:
            break;
    }
    return ended({Outcome::failed, errno});
}

// Converts the file `input`, locked, of `status`, found as `target`, unless it needs no change.
FileConverter::Try FileConverter::convert_locked(Target& target, UniqueFd& input,
                                                 const struct stat& status, Turn& turn,
                                                 ThreadBuffers& buffers) {
    // However long this file takes to read, the files before it need not wait for it.
    if (status.st_size > most_held_bytes && turn.make_way() == Step::wait_for_turn) {
        return Step::wait_for_turn;
    }
    const bool holes = has_holes(input.get(), status);
    buffers.first().rescaler.start_input(holes);
    if (buffers.second() != nullptr) {
        buffers.second()->rescaler.start_input(holes);
    }
    // Look before writing: a file with nothing to convert keeps its inode and times.
    ChangeProbe probe;
    if (buffers.first().rescaler.run(input.get(), 0, probe, status.st_size) ==
        ScanEnd::read_failed) {
        return ended({signals_.pending() != 0 ? Outcome::interrupted : Outcome::failed, EIO});
    }
    if (!probe.changed) {
        return ended({Outcome::unchanged});
    }
    // A small file is read and written in one piece: its unchanged start costs less to scan again
    // than to copy apart.
    const off_t copied_apart = status.st_size > small_file ? probe.unchanged_prefix : 0;
    return replace(target, input, status, copied_apart, holes, turn, buffers);
}

// Writes the converted form of `input`, whose first `unchanged_prefix` bytes need no change, to a
// work file, with holes where the input has `holes`, and makes it ready for its batch.
FileConverter::Try FileConverter::replace(Target& target, UniqueFd& input,
                                          const struct stat& status, off_t unchanged_prefix,
                                          bool holes, Turn& turn, ThreadBuffers& buffers) {
    auto file = std::make_unique<HeldFile>(std::move(target), std::move(input), status);
    file_systems_.before_writing(file->target.directory.get(), file->target.folder.device);
    if (std::optional<Try> not_created = create_work_file(*file, turn)) {
        return std::move(*not_created);
    }
    const int work = file->work.fd();
    const int write_error =
        convert_in_chunks(buffers.first(), buffers.second(), file->input.get(), unchanged_prefix,
                          status.st_size, work, holes, signals_);
    if (signals_.pending() != 0) {
        return ended({Outcome::interrupted});
    }
    if (write_error != 0) {
        return ended({Outcome::failed, write_error});
    }
    if (::fstat(work, &file->written) != 0) {
        return ended({Outcome::failed, errno});
    }
    if (const int error =
            copy_attributes(file->input.get(), status, work, file->written, file->work.leased())) {
        return ended({Outcome::failed, error});
    }
    // Someone opened the work file while it was given its owner: it fails now rather than at its
    // turn, so that what it was given goes while the lease still holds the opener back.
    if (file->work.opened_by_others()) {
        return ended({Outcome::failed, EBUSY});
    }
    const Prepared prepared = file_systems_.prepare(work, file->written.st_dev);
    if (prepared.error != 0) {
        return ended({Outcome::failed, prepared.error});
    }
    file->durability = prepared.durability;
    return Result{{Outcome::converted}, std::move(file)};
}

// Creates the work file of `file`: none once created, else what the try came to. A leftover under
// the work name that the files before it hold, as a file to convert or as another's work file,
// would be in place already one file at a time: the turn makes way, and the leftover is then
// removed as one file at a time would. What lies under the usual work name is this file's
// leftover, as one file at a time would find it, even when named later; a file under a fresh name
// is never taken for one if named.
std::optional<FileConverter::Try> FileConverter::create_work_file(HeldFile& file, Turn& turn) {
    const auto held = [this, &turn, &file](const std::string& name, const struct stat& entry) {
        if (turn.held_before(entry)) {
            return Claim::needed;
        }
        return name != "." + file.target.name + "_bak" && named_in_run(name, entry) ? Claim::named
                                                                                    : Claim::none;
    };
    int error = file.work.create(file.start.st_uid, held, leftovers_);
    if (error == EBUSY) {
        if (turn.make_way() == Step::wait_for_turn) {
            return Step::wait_for_turn;
        }
        error = file.work.create(file.start.st_uid, held, leftovers_);
    }
    if (error == 0) {
        take_link_moves(file);
        return std::nullopt;
    }
    return ended({Outcome::failed, error});
}

// A leftover removed that was a link to this very file moves only its change time and link
// count, which are then taken as they now stand.
void FileConverter::take_link_moves(HeldFile& file) {
    const WorkFile::Removed& removed = file.work.removed_leftover();
    struct stat now {};
    if (removed.links != 0 && removed.file.device == file.start.st_dev &&
        removed.file.inode == file.start.st_ino && ::fstat(file.input.get(), &now) == 0 &&
        now.st_size == file.start.st_size && now.st_mtim.tv_sec == file.start.st_mtim.tv_sec &&
        now.st_mtim.tv_nsec == file.start.st_mtim.tv_nsec) {
        file.start.st_ctim = now.st_ctim;
        file.start.st_nlink = now.st_nlink;
    }
}

// A file named in the run is never taken for a leftover, whatever its name: looked for by its last
// component, so this costs a pass over the names only when a leftover is found.
bool FileConverter::named_in_run(const std::string& name, const struct stat& entry) const {
    struct stat named {};
    for (std::size_t i = 0; i < named_count_; ++i) {
        const char* slash = std::strrchr(named_[i], '/');
        if (name == (slash != nullptr ? slash + 1 : named_[i]) && ::stat(named_[i], &named) == 0 &&
            named.st_dev == entry.st_dev && named.st_ino == entry.st_ino) {
            return true;
        }
    }
    return false;
}

}  // namespace tessaran
