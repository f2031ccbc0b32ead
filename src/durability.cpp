// How the files a run writes are made to survive a power cut, by the file system they lie on.
#include "durability.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "fd.hpp"

namespace tessaran {
namespace {

// Whether the ext2/3/4 file system on `device` runs a journal: the kernel lists each journal it
// runs as /proc/fs/jbd2/NAME-INODE, NAME being the device's. When that cannot be told, it runs
// none.
bool runs_journal(dev_t device) {
    const std::string link =
        "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
    char target[256];
    const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
    const std::unique_ptr<DIR, int (*)(DIR*)> journals(::opendir("/proc/fs/jbd2"), ::closedir);
    if (length <= 0 || !journals) {
        return false;
    }
    target[length] = '\0';
    const char* slash = std::strrchr(target, '/');
    const std::string journal_of = std::string(slash != nullptr ? slash + 1 : target) + "-";
    while (const dirent* entry = ::readdir(journals.get())) {
        if (std::strncmp(entry->d_name, journal_of.c_str(), journal_of.size()) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

// Only file systems known to write back and flush every dirty file on a whole-system flush, in an
// order a journal keeps, are trusted with one: a network or user-space file system may write pages
// back without asking its server or disk to keep them, and ext2, or ext4 made without a journal,
// may land a growing folder's blocks or a rename's two halves in any order.
Durability durability_of(int fd, dev_t device) {
    struct statfs about {};
    if (::fstatfs(fd, &about) != 0) {
        return Durability::on_its_own;
    }
    switch (static_cast<unsigned long>(about.f_type)) {
        case TMPFS_MAGIC:
        case RAMFS_MAGIC:
            return Durability::none_needed;
        case EXT4_SUPER_MAGIC:  // ext2 and ext3 too
            return runs_journal(device) ? Durability::with_batch : Durability::swapped_in;
        case XFS_SUPER_MAGIC:
        case BTRFS_SUPER_MAGIC:
        case F2FS_SUPER_MAGIC:
            return Durability::with_batch;
        default:
            return Durability::on_its_own;
    }
}

// A descriptor opened only as a path cannot be flushed: the folder is opened again to read.
void flush_file_system(int directory) {
    const UniqueFd folder = open_folder(directory);
    if (folder) {
        (void)::syncfs(folder.get());
    }
}

void FirstWrites::before_writing(int directory, dev_t device) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (std::find(written_to_.begin(), written_to_.end(), device) == written_to_.end()) {
        written_to_.push_back(device);
        flush_file_system(directory);
    }
}

}  // namespace tessaran
