// Converting one named layout file in place: find it, convert it into a work file beside it,
// make that durable and rename it over the file.
#include "convert.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fd.hpp"
#include "writer.hpp"

namespace tessaran {
namespace {

constexpr std::size_t block_size = std::size_t{512} * 1024;
constexpr int max_link_hops = 40;

Outcome lookup_failure() {
    return errno == ENOENT || errno == ENOTDIR ? Outcome::missing : Outcome::not_openable;
}

// Reads the text of the symbolic link `path`, however long it is.
bool read_link(const std::string& path, std::string& text) {
    std::string buffer(256, '\0');
    for (;;) {
        const ssize_t length = ::readlink(path.c_str(), buffer.data(), buffer.size());
        if (length < 0) {
            return false;
        }
        if (static_cast<std::size_t>(length) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(length));
            text = std::move(buffer);
            return true;
        }
        buffer.resize(buffer.size() * 2);
    }
}

// Follows `path` through symbolic links to the file they finally name, so that a link stays a
// link and the file behind it is converted. Leaves that file's status in `status`.
bool follow_links(std::string& path, struct stat& status) {
    for (int hop = 0; hop <= max_link_hops; ++hop) {
        if (::lstat(path.c_str(), &status) != 0) {
            return false;
        }
        if (!S_ISLNK(status.st_mode)) {
            return true;
        }
        std::string text;
        if (!read_link(path, text)) {
            return false;
        }
        if (text.empty()) {
            errno = ENOENT;
            return false;
        }
        // A relative link is relative to the directory that holds the link.
        const std::size_t slash = path.rfind('/');
        if (text.front() == '/' || slash == std::string::npos) {
            path = std::move(text);
        } else {
            path.resize(slash + 1);
            path += text;
        }
    }
    errno = ELOOP;
    return false;
}

// Finds the regular file that `argument` names and opens its directory.
bool locate(const char* argument, Target& target, Outcome& failure) {
    std::string path = argument;
    struct stat status {};
    if (!follow_links(path, status)) {
        failure = lookup_failure();
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        failure = Outcome::not_openable;
        return false;
    }
    // A regular file's path never ends in '/', so the name after the last one is not empty.
    const std::size_t slash = path.rfind('/');
    const std::string directory =
        slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    target.name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    target.directory = UniqueFd(::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!target.directory) {
        failure = lookup_failure();
        return false;
    }
    return true;
}

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

// Feeds the converted stream to the work file's writer, and gives up as soon as a held signal
// has arrived.
class WorkFileSink final : public RescaleSink {
  public:
    WorkFileSink(OverlappedWriter& writer, const HeldSignals& signals)
        : writer_(writer), signals_(signals) {}
    bool pass(std::string_view unchanged) override { return append(unchanged); }
    bool replace(std::string_view rewritten) override { return append(rewritten); }

    // Copies the first `size` bytes of `input` as they stand.
    bool copy_prefix(int input, off_t size) {
        for (off_t offset = 0; offset < size;) {
            std::size_t room_size = 0;
            char* const room = writer_.room(room_size);
            const auto wanted = std::min(room_size, static_cast<std::size_t>(size - offset));
            const ssize_t count = ::pread(input, room, wanted, offset);
            if (count <= 0 || !writer_.commit(static_cast<std::size_t>(count)) ||
                !no_signal_after(static_cast<std::size_t>(count))) {
                return false;
            }
            offset += count;
        }
        return true;
    }

  private:
    bool append(std::string_view bytes) {
        return writer_.append(bytes) && no_signal_after(bytes.size());
    }

    // Asks whether a held signal has arrived after each block's worth of output.
    bool no_signal_after(std::size_t size) {
        since_asked_ += size;
        if (since_asked_ < block_size) {
            return true;
        }
        since_asked_ = 0;
        return signals_.pending() == 0;
    }

    OverlappedWriter& writer_;
    const HeldSignals& signals_;
    std::size_t since_asked_ = 0;
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

    // Removes what an earlier run may have left under the name, then creates the file afresh;
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

// Gives the work file the input's owner and group where this process may set them, then its
// permission bits: after the owner, since a change of owner clears the set-id bits.
bool copy_metadata(int fd, const struct stat& status) {
    if (::fchown(fd, status.st_uid, status.st_gid) != 0 &&
        ::fchown(fd, static_cast<uid_t>(-1), status.st_gid) != 0) {
        // Not permitted: the file keeps this process's owner and group.
    }
    return ::fchmod(fd, status.st_mode & 07777) == 0;
}

}  // namespace

Converter::Converter(const HeldSignals& signals)
    : rescaler_(block_size), output_(new char[2 * block_size]), signals_(signals) {}

Outcome Converter::convert(const char* path) {
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
    // Look before writing: a file with nothing to convert keeps its inode and times.
    ChangeProbe probe;
    if (rescaler_.run(input.get(), 0, probe) == ScanEnd::read_failed) {
        return Outcome::failed;
    }
    if (!probe.changed) {
        return Outcome::unchanged;
    }
    return replace(input.get(), status, probe.unchanged_prefix, target);
}

Outcome Converter::replace(int input, const struct stat& status, off_t unchanged_prefix,
                           const Target& target) {
    WorkFile work(target.directory.get(), target.name);
    if (!work.create()) {
        return Outcome::failed;
    }
    OverlappedWriter writer(work.fd(), output_.get(), output_.get() + block_size, block_size);
    WorkFileSink sink(writer, signals_);
    const bool scanned = sink.copy_prefix(input, unchanged_prefix) &&
                         rescaler_.run(input, unchanged_prefix, sink) == ScanEnd::finished;
    const bool written = scanned && writer.finish();
    if (signals_.pending() != 0) {
        return Outcome::interrupted;
    }
    if (!written || !copy_metadata(work.fd(), status) || ::fsync(work.fd()) != 0 || !work.close()) {
        return Outcome::failed;
    }
    if (signals_.pending() != 0) {
        return Outcome::interrupted;
    }
    return work.rename_over(target.name) ? Outcome::converted : Outcome::failed;
}

}  // namespace tessaran
