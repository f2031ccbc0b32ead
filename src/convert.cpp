// Converting named layout files in place: find each, convert it into a work file beside it, and
// hand that to the batch, which makes it durable and renames it over the file.
#include "convert.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "attributes.hpp"
#include "chunks.hpp"
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

// Descriptors kept for the standard streams, a caller's leftovers and the file being converted.
constexpr rlim_t spare_descriptors = 32;
// A held file takes three (the file, its work file, its directory); a noted directory one.
constexpr rlim_t descriptors_per_file = 4;
constexpr std::size_t most_files_at_once = 128;
// Files up to this size are converted in one pass.
constexpr off_t small_file = off_t{64} * 1024;

// How many files may be held, and directories noted, at once within the open-file limit.
std::size_t files_at_once() {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return most_files_at_once;
    }
    const rlim_t room = limit.rlim_cur > spare_descriptors ? limit.rlim_cur - spare_descriptors : 0;
    return std::clamp<std::size_t>(room / descriptors_per_file, 1, most_files_at_once);
}

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

}  // namespace

struct Converter::Buffers {
    explicit Buffers(const HeldSignals& signals) : workers{Worker(signals), Worker(signals)} {}
    Worker workers[2];
    // The durability of the file system a work file was last made on, by that file system.
    dev_t last_device = 0;
    Durability last_durability = Durability::on_its_own;
    // The file systems this run has written to, each flushed once before its first write.
    std::vector<dev_t> written_to;
};

Converter::Converter(const HeldSignals& signals, Report report)
    : signals_(signals), batch_(signals, std::move(report), files_at_once()) {}

Converter::~Converter() = default;

// A file that runs short of room while the run holds others is tried once more with nothing held:
// one at a time, it would have had that room.
void Converter::convert(const char* path) {
    Verdict verdict = attempt(path);
    if (short_of_room(verdict) && !batch_.empty()) {
        batch_.commit();
        verdict = attempt(path);
    }
    if (verdict.outcome != Outcome::converted) {  // a converted file is held by the batch
        batch_.settle(path, verdict.outcome);
    }
    if (signals_.pending() != 0 || batch_.full()) {
        batch_.commit();
    }
}

bool Converter::finish() {
    batch_.commit();
    return batch_.directories_flushed();
}

// Converts `path`, again from the start whenever its name has moved to another file while this
// run waited for it. Memory that runs out fails the one file: what was made for it goes with the
// unwinding.
Verdict Converter::attempt(const char* path) {
    try {
        if (!buffers_) {
            buffers_ = std::make_unique<Buffers>(signals_);
        }
        for (;;) {
            bool name_moved = false;
            const Verdict verdict = convert_once(path, name_moved);
            if (!name_moved) {
                return verdict;
            }
        }
    } catch (const std::bad_alloc&) {
        return {Outcome::failed, ENOMEM};
    }
}

// Converts the file that `path` names, unless, by the time no other run holds it, the name has
// been given to another file; then says so in `name_moved`.
Verdict Converter::convert_once(const char* path, bool& name_moved) {
    Target target;
    Verdict failure{Outcome::failed};
    if (!locate(path, target, failure)) {
        return failure;
    }
    // One file at a time, the work file that this name names would be in place already: put it
    // there, and look again.
    if (batch_.holds_work_name(target.name)) {
        batch_.commit();
        name_moved = true;
        return failure;
    }
    constexpr int input_flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    UniqueFd input(::openat(target.directory.get(), target.name.c_str(), input_flags));
    if (!input && errno == EWOULDBLOCK) {  // leased: waited for as a lock is, with nothing held
        batch_.commit();
        if (open_when_unleased(target.directory.get(), target.name.c_str(), input_flags, input,
                               signals_) == LockResult::interrupted) {
            return {Outcome::interrupted};
        }
    }
    if (!input) {
        return lookup_failure();
    }
    if (!lock(input.get(), failure)) {
        return failure;
    }
    struct stat status {};
    struct stat named {};
    if (::fstat(input.get(), &status) != 0) {
        return {Outcome::failed, errno};
    }
    if (!S_ISREG(status.st_mode)) {  // swapped for another kind since it was found
        return {Outcome::not_openable};
    }
    name_moved =
        ::fstatat(target.directory.get(), target.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        named.st_dev != status.st_dev || named.st_ino != status.st_ino;
    return name_moved ? failure : convert_locked(path, target, input, status);
}

// A run never waits while it holds locks, since another run may be waiting for one of them: when
// the lock is busy, the batch is put in place first.
bool Converter::lock(int input, Verdict& failure) {
    if (::flock(input, LOCK_EX | LOCK_NB) == 0) {
        return true;
    }
    if (errno != EWOULDBLOCK) {
        failure = {Outcome::failed, errno};
        return false;
    }
    batch_.commit();
    switch (lock_exclusively(input, signals_)) {
        case LockResult::locked:
            return true;
        case LockResult::interrupted:
            failure = {Outcome::interrupted};
            return false;
        case LockResult::failed:
            failure = {Outcome::failed, errno};
            return false;
    }
    return false;
}

Verdict Converter::convert_locked(const char* path, Target& target, UniqueFd& input,
                                  const struct stat& status) {
    // However long this file takes to read, the files before it need not wait for it.
    if (Batch::too_large_to_wait_for(status.st_size)) {
        batch_.commit();
    }
    const bool holes = has_holes(input.get(), status);
    for (Worker& worker : buffers_->workers) {
        worker.rescaler.expect_holes(holes);
    }
    // Look before writing: a file with nothing to convert keeps its inode and times.
    ChangeProbe probe;
    if (buffers_->workers[0].rescaler.run(input.get(), 0, probe, status.st_size) ==
        ScanEnd::read_failed) {
        return {signals_.pending() != 0 ? Outcome::interrupted : Outcome::failed, EIO};
    }
    if (!probe.changed) {
        return {Outcome::unchanged};
    }
    // A small file is read and written in one piece: its unchanged start costs less to scan again
    // than to copy apart.
    const off_t copied_apart = status.st_size > small_file ? probe.unchanged_prefix : 0;
    return replace(path, target, input, status, copied_apart, holes);
}

Verdict Converter::replace(const char* path, Target& target, UniqueFd& input,
                           const struct stat& status, off_t unchanged_prefix, bool holes) {
    auto file = std::make_unique<HeldFile>(std::move(target), std::move(input), status);
    if (::fstat(file->target.directory.get(), &file->folder) != 0) {
        return {Outcome::failed, errno};
    }
    flush_before_first_write(file->target.directory.get(), file->folder.st_dev);
    if (const int error = create_work_file(*file)) {
        return {Outcome::failed, error};
    }
    const int work = file->work.fd();
    const int write_error =
        convert_in_chunks(buffers_->workers, file->input.get(), unchanged_prefix, status.st_size,
                          work, holes, signals_);
    if (signals_.pending() != 0) {
        return {Outcome::interrupted};
    }
    if (write_error != 0) {
        return {Outcome::failed, write_error};
    }
    if (::fstat(work, &file->written) != 0) {
        return {Outcome::failed, errno};
    }
    if (const int error = copy_attributes(file->input.get(), status, work, file->work.leased())) {
        return {Outcome::failed, error};
    }
    file->durability = durability_on(file->written.st_dev, work);
    if ((file->durability == Durability::on_its_own ||
         file->durability == Durability::swapped_in) &&
        ::fsync(work) != 0) {
        return {Outcome::failed, errno};
    }
    batch_.hold(path, std::move(file));
    return {Outcome::converted};
}

// What an earlier run renamed may not be on disk yet, if it was killed before its flush: blocks
// its renames freed could then be handed to this run's work files, and a power cut would bring
// back an old file holding this run's bytes. So each file system is flushed once before this run
// first writes there. That flush is of what came before, not of this run's files: its failure
// fails none of them.
void Converter::flush_before_first_write(int directory, dev_t device) {
    if (std::find(buffers_->written_to.begin(), buffers_->written_to.end(), device) !=
        buffers_->written_to.end()) {
        return;
    }
    buffers_->written_to.push_back(device);
    const UniqueFd folder(::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder) {
        (void)::syncfs(folder.get());
    }
}

// A leftover under the work name that the batch holds, as a file to convert or as another's work
// file, would be in place already one file at a time: the batch is put in place first, and the
// leftover then removed as one file at a time would. A leftover that is a link to this very file
// moves only its change time and link count, which are then taken as they now stand.
int Converter::create_work_file(HeldFile& file) {
    const auto held = [this](const struct stat& entry) {
        return batch_.holds_inode(entry.st_dev, entry.st_ino);
    };
    int error = file.work.create(file.start.st_uid, held);
    if (error == EBUSY && !batch_.empty()) {
        batch_.commit();
        error = file.work.create(file.start.st_uid, held);
    }
    const struct stat& removed = file.work.removed_leftover();
    struct stat now {};
    if (error == 0 && removed.st_nlink != 0 && removed.st_dev == file.start.st_dev &&
        removed.st_ino == file.start.st_ino) {
        if (::fstat(file.input.get(), &now) != 0) {
            return errno;
        }
        if (now.st_size == file.start.st_size && now.st_mtim.tv_sec == file.start.st_mtim.tv_sec &&
            now.st_mtim.tv_nsec == file.start.st_mtim.tv_nsec) {
            file.start.st_ctim = now.st_ctim;
            file.start.st_nlink = now.st_nlink;
        }
    }
    return error;
}

// Asked of the work file, not the file it replaces: a file bind-mounted from another file system
// has its work file on its directory's.
Durability Converter::durability_on(dev_t device, int work) {
    if (device != buffers_->last_device) {
        buffers_->last_device = device;
        buffers_->last_durability = durability_of(work, device);
    }
    return buffers_->last_durability;
}

}  // namespace tessaran
