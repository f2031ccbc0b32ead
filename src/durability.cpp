// How the files a run writes are made to survive a power cut, by the file system they lie on.
#include "durability.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
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
    const UniqueListing journals(::opendir("/proc/fs/jbd2"));
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

void FileSystems::before_writing(int directory, dev_t device) {
    const std::lock_guard<std::mutex> lock(written_mutex_);
    if (std::find(written_to_.begin(), written_to_.end(), device) == written_to_.end()) {
        written_to_.push_back(device);
        flush_file_system(directory);
    }
}

// Asked of the work file, not the file it replaces: a file bind-mounted from another file system
// has its work file on its directory's.
Prepared FileSystems::prepare(int work, dev_t device) {
    const Durability durability = of(device, work);
    const bool alone = durability == Durability::on_its_own || durability == Durability::swapped_in;
    return {durability, alone && ::fsync(work) != 0 ? errno : 0};
}

bool FileSystems::swapped_in(dev_t device, int directory) {
    if (of(device, directory) != Durability::swapped_in) {
        return false;
    }
    one_at_a_time_ = true;
    return true;
}

// Told once a file system and kept: asking costs a look through /sys and /proc.
Durability FileSystems::of(dev_t device, int fd) {
    const std::lock_guard<std::mutex> lock(known_mutex_);
    for (const Known& known : known_) {
        if (known.device == device) {
            return known.durability;
        }
    }
    known_.push_back({device, durability_of(fd, device)});
    return known_.back().durability;
}

void BatchFlush::add(int work, dev_t device, Durability durability) {
    files_.push_back({work, device, work >= 0 && durability == Durability::with_batch, false});
}

bool BatchFlush::needed() const {
    return std::any_of(files_.begin(), files_.end(),
                       [](const File& file) { return file.with_batch; });
}

void BatchFlush::run() {
    std::vector<dev_t> tried;
    for (auto first = files_.begin(); first != files_.end(); ++first) {
        if (!first->with_batch ||
            std::find(tried.begin(), tried.end(), first->device) != tried.end()) {
            continue;
        }
        tried.push_back(first->device);
        if (::syncfs(first->work) == 0) {
            flushed_.push_back(first->device);
            continue;
        }
        for (auto file = first; file != files_.end(); ++file) {
            if (file->with_batch && file->device == first->device) {
                file->failed = ::fsync(file->work) != 0;
            }
        }
    }
}

}  // namespace tessaran
