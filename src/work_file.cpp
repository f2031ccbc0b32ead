// The work file a conversion writes beside the file it converts.
#include "work_file.hpp"

#include <cerrno>

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tessaran {
namespace {

constexpr int create_flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
constexpr int fresh_name_tries = 16;

// Appends `count` characters drawn from the kernel's random source, letters and digits only: 0,
// or why no such characters could be had.
int append_random(std::string& name, std::size_t count) {
    static constexpr char alphabet[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
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

}  // namespace

// Only a run that holds the lock on the file may use its work file, so a leftover of the file's
// owner or of this user under the name was left by a run that ended. Root may remove anything,
// so the owner, not the permission to remove, decides what is someone else's.
bool WorkFile::is_leftover(uid_t file_owner) const {
    struct stat entry {};
    return ::fstatat(directory_, name_.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISREG(entry.st_mode) && (entry.st_uid == ::geteuid() || entry.st_uid == file_owner);
}

int WorkFile::create(uid_t file_owner) {
    fd_ = UniqueFd(::openat(directory_, name_.c_str(), create_flags, 0600));
    if (!fd_ && errno == EEXIST) {
        if (!is_leftover(file_owner)) {
            return create_fresh();
        }
        if (::unlinkat(directory_, name_.c_str(), 0) != 0 && errno != ENOENT) {
            return errno == EPERM || errno == EACCES ? create_fresh() : errno;
        }
        fd_ = UniqueFd(::openat(directory_, name_.c_str(), create_flags, 0600));
    }
    created_ = static_cast<bool>(fd_);
    return created_ ? 0 : errno;
}

// ".NAME_bak." and random characters: a name no other user can have planted anything under.
int WorkFile::create_fresh() {
    const std::string usual = name_ + ".";
    for (int attempt = 0; attempt < fresh_name_tries; ++attempt) {
        name_ = usual;
        if (const int error = append_random(name_, 10)) {
            return error;
        }
        fd_ = UniqueFd(::openat(directory_, name_.c_str(), create_flags, 0600));
        if (fd_ || errno != EEXIST) {
            break;
        }
    }
    created_ = static_cast<bool>(fd_);
    return created_ ? 0 : errno;
}

bool WorkFile::rename_over(const std::string& target_name) {
    placed_ = ::renameat(directory_, name_.c_str(), directory_, target_name.c_str()) == 0;
    return placed_;
}

WorkFile::~WorkFile() {
    fd_.close();
    if (created_ && !placed_) {
        ::unlinkat(directory_, name_.c_str(), 0);
    }
}

}  // namespace tessaran
