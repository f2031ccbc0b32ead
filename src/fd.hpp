// Ownership of a file descriptor or a folder's listing, and the write loop every output needs.
#pragma once

#include <cstddef>
#include <memory>
#include <utility>

#include <dirent.h>

#include <sys/types.h>

namespace tessaran {

// Closes the descriptor it holds when it goes out of scope; -1 holds nothing.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd();

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release();
    // Closes now and reports whether the close succeeded: on some file systems a failed
    // write first shows up here.
    bool close();

  private:
    int fd_ = -1;
};

// A descriptor that several owners hold: closed when the last of them lets go.
class SharedFd {
  public:
    SharedFd() = default;
    explicit SharedFd(UniqueFd fd)
        : owner_(std::make_shared<const UniqueFd>(std::move(fd))), fd_(owner_->get()) {}

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

  private:
    std::shared_ptr<const UniqueFd> owner_;
    int fd_ = -1;
};

// What names a file or folder for as long as it lives: its file system and its inode.
struct FileId {
    dev_t device = 0;
    ino_t inode = 0;
};

// Closes the listing of a folder it holds when it goes out of scope.
struct ListingCloser {
    void operator()(DIR* listing) const { (void)::closedir(listing); }
};
using UniqueListing = std::unique_ptr<DIR, ListingCloser>;

// A descriptor of the folder that `directory`, a descriptor of it of any kind, stands for, that can
// be read and flushed, which one opened only as a path cannot; none if it cannot be opened.
UniqueFd open_folder(int directory);

// Writes all `size` bytes, going on after short writes and interruptions.
bool write_all(int fd, const char* data, std::size_t size);

// Reads at most `size` bytes at `offset`, going on after interruptions. Returns the count, 0 at
// the end, or -1 on an error.
long read_at(int fd, char* data, std::size_t size, off_t offset);

// Where data starts at or after `at` in `fd`, which ends at `end`: past a hole if `at` lies in
// one, `end` past the last data, and `at` itself where the file system cannot tell.
off_t data_from(int fd, off_t at, off_t end);

}  // namespace tessaran
