// Converting one named layout file in place: find it, convert it into a work file beside it,
// make that durable and rename it over the file.
#include "convert.hpp"

#include <cstring>
#include <new>
#include <string>
#include <utility>

#include <fcntl.h>
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

// The work file beside the target, removed again unless it has been renamed over the target.
class WorkFile {
  public:
    WorkFile(int directory, const std::string& target_name)
        : directory_(directory), name_("." + target_name + "_bak") {}
    WorkFile(const WorkFile&) = delete;
    WorkFile& operator=(const WorkFile&) = delete;
    ~WorkFile() {
        fd_.close();
        if (created_ && !placed_) {
            ::unlinkat(directory_, name_.c_str(), 0);
        }
    }

    // Removes what an ended run may have left under the name, then creates the file afresh;
    // O_EXCL never follows a link planted there. A directory of that name stays and fails this.
    bool create() {
        ::unlinkat(directory_, name_.c_str(), 0);
        fd_ = UniqueFd(::openat(directory_, name_.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        created_ = static_cast<bool>(fd_);
        return created_;
    }
    int fd() const { return fd_.get(); }
    bool close() { return fd_.close(); }
    bool rename_over(const std::string& target_name) {
        placed_ = ::renameat(directory_, name_.c_str(), directory_, target_name.c_str()) == 0;
        return placed_;
    }

  private:
    int directory_;
    std::string name_;
    UniqueFd fd_;
    bool created_ = false;
    bool placed_ = false;
};

}  // namespace

struct Converter::Buffers {
    Worker workers[2];
};

Converter::Converter(const HeldSignals& signals) : signals_(signals) {}

Converter::~Converter() = default;

// Memory that runs out fails the one file: what was made for it goes with the unwinding.
Outcome Converter::convert(const char* path) {
    try {
        if (!buffers_) {
            buffers_ = std::make_unique<Buffers>();
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
    const UniqueFd input(::openat(target.directory.get(), target.name.c_str(),
                                  O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat status {};
    if (!input || ::fstat(input.get(), &status) != 0) {
        return lookup_failure();
    }
    if (!S_ISREG(status.st_mode)) {
        return Outcome::not_openable;
    }
    switch (lock_exclusively(input.get(), signals_)) {
        case LockResult::locked:
            break;
        case LockResult::interrupted:
            return Outcome::interrupted;
        case LockResult::failed:
            return Outcome::failed;
    }
    struct stat named {};
    name_moved =
        ::fstatat(target.directory.get(), target.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        named.st_dev != status.st_dev || named.st_ino != status.st_ino;
    if (name_moved || ::fstat(input.get(), &status) != 0) {
        return Outcome::failed;
    }
    // Look before writing: a file with nothing to convert keeps its inode and times.
    ChangeProbe probe;
    if (buffers_->workers[0].rescaler.run(input.get(), 0, probe) == ScanEnd::read_failed) {
        return Outcome::failed;
    }
    if (!probe.changed) {
        return Outcome::unchanged;
    }
    return replace(input.get(), status, probe.unchanged_prefix, target);
}

Outcome Converter::replace(int input, const struct stat& status, off_t unchanged_prefix,
                           const Target& target) {
    // Only a run that holds the lock on the file may use its work file, so whatever stands
    // under that name now was left by a run that ended.
    WorkFile work(target.directory.get(), target.name);
    if (!work.create()) {
        return Outcome::failed;
    }
    const bool written = convert_in_chunks(buffers_->workers, input, unchanged_prefix,
                                           status.st_size, work.fd(), signals_);
    if (signals_.pending() != 0) {
        return Outcome::interrupted;
    }
    if (!written || !copy_attributes(input, status, work.fd()) || ::fsync(work.fd()) != 0 ||
        !work.close()) {
        return Outcome::failed;
    }
    if (signals_.pending() != 0) {
        return Outcome::interrupted;
    }
    if (!work.rename_over(target.name)) {
        return Outcome::failed;
    }
    directories_.renamed_into(target.directory.get());
    return Outcome::converted;
}

}  // namespace tessaran
