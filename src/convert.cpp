// Converting named layout files in place: find each, convert it into a work file beside it, and
// hand that to the batch, which makes it durable and renames it over the file.
#include "convert.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <utility>

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

    bool changed = false;
    off_t unchanged_prefix = 0;

  private:
    off_t passed_ = 0;
};

// Descriptors kept for the standard streams, a caller's leftovers and the file being converted.
constexpr rlim_t spare_descriptors = 32;
// A held file takes three (the file, its work file, its directory); a noted directory one.
constexpr rlim_t descriptors_per_file = 4;
constexpr std::size_t most_files_at_once = 64;
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

// Whether `outcome` is a failure that holding fewer files may cure, by the `errno` it left: the
// space that the old files of a batch still take up, or the descriptors the run holds.
bool short_of_room(Outcome outcome) {
    const int error = errno;
    const bool failed = outcome == Outcome::failed || outcome == Outcome::missing ||
                        outcome == Outcome::not_openable;
    return failed && (error == ENOSPC || error == EDQUOT || error == EMFILE || error == ENFILE);
}

}  // namespace

struct Converter::Buffers {
    explicit Buffers(const HeldSignals& signals) : workers{Worker(signals), Worker(signals)} {}
    Worker workers[2];
    // The durability of the file system a work file was last made on, by its device.
    dev_t last_device = 0;
    Durability last_durability = Durability::on_its_own;
};

Converter::Converter(const HeldSignals& signals, Report report)
    : signals_(signals),
      most_held_(files_at_once()),
      directories_(most_held_),
      batch_(signals, directories_, std::move(report), most_held_) {}

Converter::~Converter() = default;

// A file that runs short of room while the run holds others is tried once more with nothing held:
// one at a time, it would have had that room.
void Converter::convert(const char* path) {
    Outcome outcome = attempt(path);
    if (short_of_room(outcome) && (!batch_.empty() || !directories_.empty())) {
        release_all();
        outcome = attempt(path);
    }
    if (outcome != Outcome::converted) {  // a converted file is held by the batch
        batch_.settle(path, outcome);
    }
    if (signals_.pending() != 0 || batch_.full()) {
        batch_.commit();
    }
}

bool Converter::finish() {
    release_all();
    return !directories_failed_;
}

void Converter::release_all() {
    batch_.commit();
    directories_failed_ = !directories_.flush() || directories_failed_;
}

// Converts `path`, again from the start whenever its name has moved to another file while this
// run waited for it. Memory that runs out fails the one file: what was made for it goes with the
// unwinding.
Outcome Converter::attempt(const char* path) {
    try {
        if (!buffers_) {
            buffers_ = std::make_unique<Buffers>(signals_);
        }
        for (;;) {
            bool name_moved = false;
            const Outcome outcome = convert_once(path, name_moved);
            if (!name_moved) {
                return outcome;
            }
        }
    } catch (const std::bad_alloc&) {
        return Outcome::failed;
    }
}

// Converts the file that `path` names, unless, by the time no other run holds it, the name has
// been given to another file; then says so in `name_moved`.
Outcome Converter::convert_once(const char* path, bool& name_moved) {
    Target target;
    Outcome failure = Outcome::failed;
    if (!locate(path, target, failure)) {
        return failure;
    }
    UniqueFd input(::openat(target.directory.get(), target.name.c_str(),
                            O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!input) {
        return lookup_failure();
    }
    // A run never waits while it holds locks: another run may be waiting for one of them.
    if (::flock(input.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) {
            return Outcome::failed;
        }
        batch_.commit();
        switch (lock_exclusively(input.get(), signals_)) {
            case LockResult::locked:
                break;
            case LockResult::interrupted:
                return Outcome::interrupted;
            case LockResult::failed:
                return Outcome::failed;
        }
    }
    struct stat status {};
    struct stat named {};
    if (::fstat(input.get(), &status) != 0) {
        return Outcome::failed;
    }
    if (!S_ISREG(status.st_mode)) {  // swapped for another kind since it was found
        return Outcome::not_openable;
    }
    name_moved =
        ::fstatat(target.directory.get(), target.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        named.st_dev != status.st_dev || named.st_ino != status.st_ino;
    if (name_moved) {
        return Outcome::failed;
    }
    // Look before writing: a file with nothing to convert keeps its inode and times.
    ChangeProbe probe;
    if (buffers_->workers[0].rescaler.run(input.get(), 0, probe, status.st_size) ==
        ScanEnd::read_failed) {
        return signals_.pending() != 0 ? Outcome::interrupted : Outcome::failed;
    }
    if (!probe.changed) {
        return Outcome::unchanged;
    }
    // A small file is read and written in one piece: its unchanged start costs less to scan again
    // than to copy apart.
    const off_t copied_apart = status.st_size > small_file ? probe.unchanged_prefix : 0;
    return replace(path, target, input, status, copied_apart);
}

Outcome Converter::replace(const char* path, Target& target, UniqueFd& input,
                           const struct stat& status, off_t unchanged_prefix) {
    auto file = std::make_unique<HeldFile>(std::move(target), std::move(input), status);
    // Only a run that holds the lock on the file may use its work file, so whatever stands
    // under that name now was left by a run that ended.
    if (!file->work.create()) {
        return Outcome::failed;
    }
    const int work = file->work.fd();
    const bool written = convert_in_chunks(buffers_->workers, file->input.get(), unchanged_prefix,
                                           status.st_size, work, signals_);
    if (signals_.pending() != 0) {
        return Outcome::interrupted;
    }
    if (!written || !copy_attributes(file->input.get(), status, work)) {
        return Outcome::failed;
    }
    if (status.st_dev != buffers_->last_device) {
        buffers_->last_device = status.st_dev;
        buffers_->last_durability = durability_of(work);
    }
    file->durability = buffers_->last_durability;
    if (file->durability == Durability::on_its_own && ::fsync(work) != 0) {
        return Outcome::failed;
    }
    batch_.hold(path, std::move(file));
    return Outcome::converted;
}

}  // namespace tessaran
