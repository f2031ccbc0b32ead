// Finding the regular file that a name on the command line stands for.
#include "locate.hpp"

#include <cerrno>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tessaran {
namespace {

// As many links as the kernel follows in one lookup.
constexpr int max_link_hops = 40;

// Reads the text of the link `name` in `directory`, however long it is.
bool read_link(int directory, const std::string& name, std::string& text) {
    text.assign(256, '\0');
    for (;;) {
        const ssize_t length = ::readlinkat(directory, name.c_str(), text.data(), text.size());
        if (length < 0) {
            return false;
        }
        if (static_cast<std::size_t>(length) < text.size()) {
            text.resize(static_cast<std::size_t>(length));
            return true;
        }
        text.resize(text.size() * 2);
    }
}

// The directory `directory` holds; none yet stands for the working directory.
int at(const SharedFd& directory) {
    return directory ? directory.get() : AT_FDCWD;
}

// What `path` names up to its last slash: the folder it names a file in; empty for none.
std::string parent_of(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string()
                                           : std::string(path.substr(0, slash == 0 ? 1 : slash));
}

// Moves `directory` to the one that `path`, taken relative to it, names a file in, and leaves
// that file's name in `name`. Where `last` is given, its folder is taken if the path still leads
// there.
bool step_into(std::string_view path, SharedFd& directory, std::string& name,
               const LastFolder* last) {
    const std::size_t slash = path.rfind('/');
    if (slash != std::string_view::npos) {
        const std::string parent = parent_of(path);
        if (last != nullptr && last->leads_to(parent)) {
            directory = last->directory;
        } else {
            UniqueFd next(
                ::openat(at(directory), parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
            if (!next) {
                return false;
            }
            directory = SharedFd(std::move(next));
        }
    }
    name = path.substr(slash == std::string_view::npos ? 0 : slash + 1);
    return true;
}

// Whether the kernel protects links in sticky, world-writable directories here. A setting that
// cannot be read (proc hidden or absent) counts as the kernel's default, on: guessing off would
// let another user lead a privileged run where the kernel itself refuses to go.
bool links_protected() {
    const UniqueFd setting(::open("/proc/sys/fs/protected_symlinks", O_RDONLY | O_CLOEXEC));
    char value = '1';
    return !setting || ::read(setting.get(), &value, 1) != 1 || value != '0';
}

// Whether the kernel would follow the link `link` found in `directory`: where links are
// protected, one in a sticky, world-writable directory only when its owner is the one who follows
// it or the directory's owner. Another user cannot then lead a privileged run anywhere.
bool may_follow(int directory, const struct stat& link) {
    struct stat holder {};
    if (::fstatat(directory, ".", &holder, 0) != 0) {
        return false;
    }
    const bool shared = (holder.st_mode & S_ISVTX) != 0 && (holder.st_mode & S_IWOTH) != 0;
    return !shared || link.st_uid == ::geteuid() || link.st_uid == holder.st_uid ||
           !links_protected();
}

// Classifies a path that ends in '/': it can name a directory, never a regular file.
Verdict directory_path(int directory, const std::string& path) {
    struct stat status {};
    return ::fstatat(directory, path.c_str(), &status, 0) == 0 ? Verdict{Outcome::not_openable}
                                                               : lookup_failure();
}

}  // namespace

Verdict lookup_failure() {
    const int error = errno;
    return {error == ENOENT || error == ENOTDIR ? Outcome::missing : Outcome::not_openable, error};
}

bool LastFolder::leads_to(const std::string& parent) const {
    struct stat named {};
    return directory && parent == path && ::stat(parent.c_str(), &named) == 0 &&
           named.st_dev == folder.device && named.st_ino == folder.inode;
}

bool locate(const char* argument, Target& target, Verdict& failure) {
    LastFolder none;
    return locate(argument, target, failure, none);
}

bool locate(const char* argument, Target& target, Verdict& failure, LastFolder& last) {
    std::string path = argument;
    SharedFd directory;  // opened only once a name leads elsewhere than the working directory
    std::string name;
    struct stat status {};
    int hop = 0;
    for (;; ++hop) {
        if (path.empty()) {  // an empty name, or a link whose text is empty
            failure = {Outcome::missing};
            return false;
        }
        if (path.back() == '/') {
            failure = directory_path(at(directory), path);
            return false;
        }
        if (!step_into(path, directory, name, hop == 0 ? &last : nullptr) ||
            ::fstatat(at(directory), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
            failure = lookup_failure();
            return false;
        }
        if (!S_ISLNK(status.st_mode)) {
            break;
        }
        // A loop, as the kernel counts one, or a link the kernel would not follow.
        if (hop == max_link_hops || !may_follow(at(directory), status)) {
            failure = {Outcome::not_openable};
            return false;
        }
        if (!read_link(at(directory), name, path)) {
            failure = lookup_failure();
            return false;
        }
    }
    if (!S_ISREG(status.st_mode)) {
        failure = {Outcome::not_openable};
        return false;
    }
    // Every later step works in the directory the file was found in, whatever happens to the
    // working directory's name meanwhile. This process never changes its working directory, so
    // one opened before is that directory still.
    if (!directory) {
        directory = last.directory && last.path.empty()
                        ? last.directory
                        : SharedFd(UniqueFd(::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC)));
    }
    if (!directory) {
        failure = lookup_failure();
        return false;
    }
    target.folder = last.folder;
    if (directory.get() != last.directory.get()) {
        struct stat folder {};
        if (::fstat(directory.get(), &folder) != 0) {
            failure = lookup_failure();
            return false;
        }
        target.folder = {folder.st_dev, folder.st_ino};
        // A folder reached through a link is not kept: the next name may not lead there.
        if (hop == 0) {
            last = {parent_of(path), directory, target.folder};
        }
    }
    target.directory = std::move(directory);
    target.name = std::move(name);
    return true;
}

}  // namespace tessaran
