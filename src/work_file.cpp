// The work file a conversion writes beside the file it converts.
#include "work_file.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <unistd.h>

namespace tessaran {
namespace {

constexpr int create_flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
constexpr int fresh_name_tries = 16;
constexpr std::size_t random_characters = 10;
constexpr std::size_t longest_name = 255;  // NAME_MAX of every file system the tool is used on
constexpr char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

// Appends `count` characters drawn from the kernel's random source, letters and digits only: 0,
// or why no such characters could be had.
int append_random(std::string& name, std::size_t count) {
    unsigned char bytes[16];
    if (count > sizeof bytes) {
        return EINVAL;
    }
    const ssize_t got = ::getrandom(bytes, count, 0);
    if (got != static_cast<ssize_t>(count)) {
        return got < 0 ? errno : EAGAIN;  // a short read names no error of its own
    }
    for (std::size_t i = 0; i < count; ++i) {
        name += alphabet[bytes[i] % (sizeof alphabet - 1)];
    }
    return 0;
}

// Whether `name` is `prefix` and then exactly the random characters a fresh name ends in.
bool is_fresh_name(const std::string& name, const std::string& prefix) {
    return name.size() == prefix.size() + random_characters &&
           name.compare(0, prefix.size(), prefix) == 0 &&
           name.find_first_not_of(alphabet, prefix.size()) == std::string::npos;
}

// A 64-bit FNV-1a hash of `text`, in 16 hexadecimal digits.
std::string hash_of(const std::string& text) {
    std::uint64_t hash = 0xcbf29ce484222325U;
    for (const char byte : text) {
        hash = (hash ^ static_cast<unsigned char>(byte)) * 0x100000001b3U;
    }
    std::string digits(16, '0');
    for (std::size_t i = 16; i-- > 0; hash >>= 4) {
        digits[i] = "0123456789abcdef"[hash & 15];
    }
    return digits;
}

struct DirCloser {
    void operator()(DIR* directory) const { ::closedir(directory); }
};

}  // namespace

bool could_be_work_name(const std::string& name) {
    return name.size() > 1 && name[0] == '.' && name.find("_bak") != std::string::npos;
}

// Only a run that holds the lock on the file may use its work file, so a leftover of the file's
// owner or of this user under the name was left by a run that ended. Root may remove anything,
// so the owner, not the permission to remove, decides what is someone else's.
bool WorkFile::is_leftover(const std::string& name, uid_t file_owner, struct stat& entry) const {
    return ::fstatat(directory_, name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISREG(entry.st_mode) && (entry.st_uid == ::geteuid() || entry.st_uid == file_owner);
}

// Removes the leftover `name`: 0 when it is gone; ENOTUNIQ when it is no leftover of ours, or one
// this process may not remove; EBUSY when the run still needs it; or the error of the unlink.
int WorkFile::remove_leftover(const std::string& name, uid_t file_owner, const InUse& in_use) {
    struct stat entry {};
    if (!is_leftover(name, file_owner, entry)) {
        return ENOTUNIQ;
    }
    if (in_use(entry)) {
        return EBUSY;
    }
    if (::unlinkat(directory_, name.c_str(), 0) != 0 && errno != ENOENT) {
        return errno == EPERM || errno == EACCES ? ENOTUNIQ : errno;
    }
    removed_ = entry;
    return 0;
}

int WorkFile::create(uid_t file_owner, const InUse& in_use) {
    int error = open_new();
    if (error == EEXIST) {
        error = remove_leftover(name_, file_owner, in_use);
        error = error == 0          ? open_new()
                : error == ENOTUNIQ ? create_fresh(file_owner, in_use)
                                    : error;
    }
    return error;
}

// ".NAME_bak." before the random characters; for a name too long for that, as much of NAME as fits
// and a hash of the whole name, so that two long names never share a prefix.
std::string WorkFile::fresh_prefix() const {
    std::string whole = "." + target_name_ + "_bak.";
    if (whole.size() + random_characters <= longest_name) {
        return whole;
    }
    const std::string hash = "~" + hash_of(target_name_) + "_bak.";
    return "." + target_name_.substr(0, longest_name - random_characters - hash.size() - 1) + hash;
}

// What ended runs left under fresh names of this file is removed as their usual leftover is.
int WorkFile::remove_fresh_leftovers(const std::string& prefix, uid_t file_owner,
                                     const InUse& in_use) {
    UniqueFd listing(::openat(directory_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const std::unique_ptr<DIR, DirCloser> entries(listing ? ::fdopendir(listing.get()) : nullptr);
    if (!entries) {
        return errno;
    }
    (void)listing.release();  // the listing owns it now
    errno = 0;
    while (const dirent* entry = ::readdir(entries.get())) {
        const std::string name = entry->d_name;
        if (is_fresh_name(name, prefix)) {
            if (const int error = remove_leftover(name, file_owner, in_use);
                error != 0 && error != ENOTUNIQ) {
                return error;
            }
        }
        errno = 0;
    }
    return errno;
}

// ".NAME_bak." and random characters: a name no other user can have planted anything under.
int WorkFile::create_fresh(uid_t file_owner, const InUse& in_use) {
    const std::string prefix = fresh_prefix();
    if (const int error = remove_fresh_leftovers(prefix, file_owner, in_use)) {
        return error;
    }
    int error = EEXIST;
    for (int attempt = 0; attempt < fresh_name_tries && error == EEXIST; ++attempt) {
        name_ = prefix;
        if (const int drawn = append_random(name_, random_characters)) {
            return drawn;
        }
        error = open_new();
    }
    return error;
}

// Creates the file under `name_` and leases it. A lease is granted only while no one else has the
// file open, so one refused as busy means someone opened it already, and the file is given up. A
// file system that grants no leases at all leaves the file without one. The lease's owner is
// cleared, so that someone else's open sends this process no signal.
int WorkFile::open_new() {
    fd_ = UniqueFd(::openat(directory_, name_.c_str(), create_flags, 0600));
    if (!fd_) {
        return errno;
    }
    created_ = true;
    if (::fcntl(fd_.get(), F_SETLEASE, F_WRLCK) != 0) {
        return errno == EAGAIN || errno == EBUSY ? errno : 0;
    }
    leased_ = true;
    return ::fcntl(fd_.get(), F_SETOWN, 0) == 0 ? 0 : errno;
}

bool WorkFile::opened_by_others() const {
    return leased_ && ::fcntl(fd_.get(), F_GETLEASE) != F_WRLCK;
}

bool WorkFile::rename_over(const std::string& target_name) {
    placed_ = ::renameat(directory_, name_.c_str(), directory_, target_name.c_str()) == 0;
    return placed_;
}

// Once the file is in place, the lease only makes others wait; a swap keeps the file open while
// its folder is flushed, so there it goes at once.
void WorkFile::release_lease() {
    if (placed_ && leased_) {
        (void)::fcntl(fd_.get(), F_SETLEASE, F_UNLCK);
        leased_ = false;
    }
}

// The work file is locked before it becomes the file, so that a run that finds it there waits
// until the old content under the work name is gone, and never makes its own work file there
// first, to see it removed as the old content.
bool WorkFile::swap_with(const std::string& target_name) {
    if (::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) {
        return false;
    }
    swapped_ = ::renameat2(directory_, name_.c_str(), directory_, target_name.c_str(),
                           RENAME_EXCHANGE) == 0;
    placed_ = swapped_ || ((errno == EINVAL || errno == ENOSYS) && rename_over(target_name));
    release_lease();
    return placed_;
}

void WorkFile::remove_swapped_out() {
    if (swapped_) {
        ::unlinkat(directory_, name_.c_str(), 0);
    }
}

void WorkFile::let_go() {
    if (placed_) {
        fd_.close();
        leased_ = false;
    }
}

// The name goes while the lease still holds, so that no new open finds an unplaced work file.
WorkFile::~WorkFile() {
    if (created_ && !placed_) {
        ::unlinkat(directory_, name_.c_str(), 0);
    }
    fd_.close();
}

}  // namespace tessaran
