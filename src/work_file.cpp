// The work file a conversion writes beside the file it converts.
#include "work_file.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <memory>
#include <string_view>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace tessaran {
namespace {

constexpr int create_flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
constexpr int fresh_name_tries = 16;
// A fresh name ends in random characters and then a check of the name before it, so that a name a
// user gave a file of their own is not taken for one: it would pass the check once in 62^4 times.
constexpr std::size_t random_characters = 10;
constexpr std::size_t check_characters = 4;
constexpr std::size_t longest_name = 255;  // NAME_MAX of every file system the tool is used on
// Fresh prefixes up to this long are the whole name's; a longer name's prefix is cut and hashed to
// exactly one more, with one random character fewer, so that no name's whole prefix is another's
// cut one.
constexpr std::size_t longest_whole_prefix = longest_name - random_characters;
constexpr char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr std::size_t alphabet_size = sizeof alphabet - 1;

// A 64-bit FNV-1a hash of `text`.
std::uint64_t fnv1a(std::string_view text) {
    std::uint64_t hash = 0xcbf29ce484222325U;
    for (const char byte : text) {
        hash = (hash ^ static_cast<unsigned char>(byte)) * 0x100000001b3U;
    }
    return hash;
}

// The characters that end a fresh name whose characters before them are `name`.
std::string check_of(std::string_view name) {
    std::uint64_t hash = fnv1a(name);
    std::string check(check_characters, ' ');
    for (char& character : check) {
        character = alphabet[hash % alphabet_size];
        hash /= alphabet_size;
    }
    return check;
}

// How many characters follow `prefix` in a fresh name, the check among them.
std::size_t characters_after(const std::string& prefix) {
    return std::min(random_characters, longest_name - prefix.size());
}

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
        name += alphabet[bytes[i] % alphabet_size];
    }
    return 0;
}

// Whether `name` has the shape of a fresh name: a prefix ending in "_bak.", letters and digits,
// the last of them a check of the rest.
bool looks_fresh(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    const std::size_t after = dot == std::string::npos ? 0 : name.size() - dot - 1;
    return dot != std::string::npos && dot >= 4 && name.compare(dot - 4, 4, "_bak") == 0 &&
           (after == random_characters || after == random_characters - 1) &&
           name.find_first_not_of(alphabet, dot + 1) == std::string::npos &&
           name.compare(
               name.size() - check_characters, check_characters,
               check_of(std::string_view(name).substr(0, name.size() - check_characters))) == 0;
}

// Whether `name` is `prefix` and then exactly the characters a fresh name ends in.
bool is_fresh_name(const std::string& name, const std::string& prefix) {
    return name.size() == prefix.size() + characters_after(prefix) &&
           name.compare(0, prefix.size(), prefix) == 0 && looks_fresh(name);
}

// A hash of `text`, in 16 hexadecimal digits.
std::string hash_of(const std::string& text) {
    std::uint64_t hash = fnv1a(text);
    std::string digits(16, '0');
    for (std::size_t i = 16; i-- > 0; hash >>= 4) {
        digits[i] = "0123456789abcdef"[hash & 15];
    }
    return digits;
}

// ".NAME_bak." before the random characters; for a name too long for that, as much of NAME as fits
// and a hash of the whole name, so that two long names never share a prefix but by a collision of
// the hash.
std::string fresh_prefix(const std::string& target_name) {
    std::string whole = "." + target_name + "_bak.";
    if (whole.size() <= longest_whole_prefix) {
        return whole;
    }
    const std::string hash = "~" + hash_of(target_name) + "_bak.";
    return "." + target_name.substr(0, longest_whole_prefix - hash.size()) + hash;
}

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

// Removes the leftover `name`: 0 when it is gone; ENOTUNIQ when it is no leftover of ours, one
// named in the run, or one this process may not remove; EBUSY when the run still needs it; or the
// error of the unlink.
int WorkFile::remove_leftover(const std::string& name, uid_t file_owner, const InUse& in_use) {
    struct stat entry {};
    if (!is_leftover(name, file_owner, entry)) {
        return ENOTUNIQ;
    }
    if (const Claim claim = in_use(name, entry); claim != Claim::none) {
        return claim == Claim::needed ? EBUSY : ENOTUNIQ;
    }
    if (::unlinkat(directory_, name.c_str(), 0) != 0 && errno != ENOENT) {
        return errno == EPERM || errno == EACCES ? ENOTUNIQ : errno;
    }
    removed_ = {{entry.st_dev, entry.st_ino}, entry.st_nlink};
    return 0;
}

int WorkFile::create(uid_t file_owner, const InUse& in_use, Leftovers& leftovers) {
    int error = open_new();
    if (error == EEXIST) {
        error = remove_leftover(name_, file_owner, in_use);
        error = error == 0          ? open_new()
                : error == ENOTUNIQ ? create_fresh(file_owner, in_use, leftovers)
                                    : error;
    }
    return error;
}

std::string fresh_work_name(const std::string& target_name, const std::string& random) {
    std::string name = fresh_prefix(target_name);
    name += random.substr(0, characters_after(name) - check_characters);
    return name + check_of(name);
}

// What ended runs left under fresh names of this file is removed as their usual leftover is.
int WorkFile::remove_fresh_leftovers(const std::string& prefix, uid_t file_owner,
                                     const InUse& in_use, Leftovers& leftovers) {
    struct stat folder {};
    std::vector<std::string> names;
    if (::fstat(directory_, &folder) != 0) {
        return errno;
    }
    if (const int error = leftovers.starting_with(directory_, folder, prefix, names)) {
        return error;
    }
    for (const std::string& name : names) {
        if (!is_fresh_name(name, prefix)) {
            continue;
        }
        const int error = remove_leftover(name, file_owner, in_use);
        if (error == 0) {
            leftovers.forget(folder, name);
        } else if (error != ENOTUNIQ) {
            return error;
        }
    }
    return 0;
}

// ".NAME_bak.", random characters and their check: a name no other user can have planted
// anything under.
int WorkFile::create_fresh(uid_t file_owner, const InUse& in_use, Leftovers& leftovers) {
    const std::string prefix = fresh_prefix(target_name_);
    if (const int error = remove_fresh_leftovers(prefix, file_owner, in_use, leftovers)) {
        return error;
    }
    int error = EEXIST;
    for (int attempt = 0; attempt < fresh_name_tries && error == EEXIST; ++attempt) {
        std::string random;
        if (const int drawn = append_random(random, random_characters)) {
            return drawn;
        }
        name_ = fresh_work_name(target_name_, random);
        error = open_new();
    }
    return error;
}

Leftovers::Folder* Leftovers::listed(int directory, const struct stat& status, int& error) {
    for (Folder& folder : folders_) {
        if (folder.device == status.st_dev && folder.inode == status.st_ino) {
            return &folder;
        }
    }
    UniqueFd listing = open_folder(directory);
    const UniqueListing entries(listing ? ::fdopendir(listing.get()) : nullptr);
    if (!entries) {
        error = errno;
        return nullptr;
    }
    (void)listing.release();  // the listing owns it now
    Folder folder{status.st_dev, status.st_ino, {}};
    errno = 0;
    while (const dirent* entry = ::readdir(entries.get())) {
        if (looks_fresh(entry->d_name)) {
            folder.names.emplace_back(entry->d_name);
        }
        errno = 0;
    }
    error = errno;
    if (error != 0) {
        return nullptr;
    }
    folders_.push_back(std::move(folder));
    return &folders_.back();
}

int Leftovers::starting_with(int directory, const struct stat& status, const std::string& prefix,
                             std::vector<std::string>& names) {
    const std::lock_guard<std::mutex> lock(mutex_);
    int error = 0;
    const Folder* folder = listed(directory, status, error);
    if (folder == nullptr) {
        return error;
    }
    for (const std::string& name : folder->names) {
        if (name.compare(0, prefix.size(), prefix) == 0) {
            names.push_back(name);
        }
    }
    return 0;
}

void Leftovers::forget(const struct stat& status, const std::string& name) {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (Folder& folder : folders_) {
        if (folder.device == status.st_dev && folder.inode == status.st_ino) {
            folder.names.erase(std::remove(folder.names.begin(), folder.names.end(), name),
                               folder.names.end());
        }
    }
}

// Creates the file under `name_` and leases it. A lease is granted only while no one else has the
// file open, so one refused as busy means someone opened it already, and the file is given up. A
// file system that grants no leases at all leaves the file without one. Taking a lease makes this
// process the one told when someone opens the file; the telling signal is set first to one whose
// default is to be ignored, so that no open by anyone, at any moment, sends a signal that would end
// the run.
int WorkFile::open_new() {
    fd_ = UniqueFd(::openat(directory_, name_.c_str(), create_flags, 0600));
    if (!fd_) {
        return errno;
    }
    created_ = true;
    if (::fcntl(fd_.get(), F_SETSIG, SIGURG) != 0) {
        return errno;
    }
    if (::fcntl(fd_.get(), F_SETLEASE, F_WRLCK) != 0) {
        return errno == EAGAIN || errno == EBUSY ? errno : 0;
    }
    leased_ = true;
    return 0;
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

// Someone whose open the lease holds back gets the file once the lease goes; what this process
// gave the file, set-id bits and a capability that the file's owner could not give it, must be gone
// by then. So they go first, then the name, so that no new open finds an unplaced work file, while
// the lease still holds.
WorkFile::~WorkFile() {
    if (created_ && !placed_) {
        if (fd_) {
            (void)::fchmod(fd_.get(), 0);
            (void)::fremovexattr(fd_.get(), "security.capability");
        }
        ::unlinkat(directory_, name_.c_str(), 0);
    }
    fd_.close();
}

}  // namespace tessaran
