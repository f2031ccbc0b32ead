// Making renames durable: flushing each directory a file was renamed into.
#include "directory_sync.hpp"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tessaran {

// Room for all is made at once, so that noting a rename never fails for want of memory.
DirectorySync::DirectorySync(std::size_t most_held_open) : most_held_open_(most_held_open) {
    noted_.reserve(most_held_open_);
}

void DirectorySync::changed(int directory, FileId folder) {
    for (const Noted& noted : noted_) {
        if (noted.device == folder.device && noted.inode == folder.inode) {
            return;
        }
    }
    if (noted_.size() == most_held_open_) {
        failed_ = !flush();
    }
    // The descriptor the rename used may be one that cannot be flushed: open one that can.
    UniqueFd readable = open_folder(directory);
    if (!readable && (errno == EMFILE || errno == ENFILE) && !noted_.empty()) {
        failed_ = !flush();
        readable = open_folder(directory);
    }
    if (!readable) {
        failed_ = true;
        return;
    }
    noted_.push_back({folder.device, folder.inode, std::move(readable)});
}

void DirectorySync::flushed(FileId folder) {
    for (auto noted = noted_.begin(); noted != noted_.end(); ++noted) {
        if (noted->device == folder.device && noted->inode == folder.inode) {
            noted_.erase(noted);
            return;
        }
    }
}

void DirectorySync::flushed_with(dev_t device) {
    noted_.erase(std::remove_if(noted_.begin(), noted_.end(),
                                [device](const Noted& noted) { return noted.device == device; }),
                 noted_.end());
}

bool DirectorySync::flush() {
    bool flushed = !failed_;
    for (Noted& noted : noted_) {
        flushed = ::fsync(noted.fd.get()) == 0 && flushed;
    }
    noted_.clear();
    failed_ = false;
    return flushed;
}

}  // namespace tessaran
