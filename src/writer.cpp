// Writing a file from two buffers in turn, on a second thread.
#include "writer.hpp"

#include <algorithm>
#include <cstring>
#include <system_error>

#include <fcntl.h>

#include "fd.hpp"

namespace tessaran {
namespace {

// How much written data the disk is told to start on at once.
constexpr off_t writeback_stretch = off_t{4} * 1024 * 1024;

}  // namespace

OverlappedWriter::OverlappedWriter(int fd, char* first_buffer, char* second_buffer,
                                   std::size_t buffer_size)
    : fd_(fd), buffers_{first_buffer, second_buffer}, capacity_(buffer_size) {}

OverlappedWriter::~OverlappedWriter() {
    stop();
}

// Fills the buffer, hands it over and goes on in the other, as often as `bytes` needs.
bool OverlappedWriter::append_across_buffers(std::string_view bytes) {
    while (!bytes.empty()) {
        std::size_t size = 0;
        char* const at = room(size);
        const std::size_t taken = std::min(size, bytes.size());
        std::memcpy(at, bytes.data(), taken);
        if (!commit(taken)) {
            return false;
        }
        bytes.remove_prefix(taken);
    }
    return true;
}

char* OverlappedWriter::room(std::size_t& size) {
    size = capacity_ - used_;
    return buffers_[filling_] + used_;
}

bool OverlappedWriter::commit(std::size_t size) {
    used_ += size;
    return used_ < capacity_ || hand_over();
}

bool OverlappedWriter::finish() {
    stop();
    const bool written = !failed_ && write_out(buffers_[filling_], used_);
    used_ = 0;
    return written;
}

// Gives the full buffer to the thread, once it is done with the other one, and turns to that.
bool OverlappedWriter::hand_over() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !handed_; });
    if (failed_) {
        return false;
    }
    handed_ = true;
    handed_index_ = filling_;
    handed_size_ = used_;
    lock.unlock();
    filling_ = 1 - filling_;
    used_ = 0;
    if (thread_.joinable()) {
        changed_.notify_all();
        return true;
    }
    try {
        thread_ = std::thread(&OverlappedWriter::write_handed_buffers, this);
        return true;
    } catch (const std::system_error&) {
        // No second thread to be had: write here and now.
        handed_ = false;
        return write_out(buffers_[handed_index_], handed_size_);
    }
}

// The thread's loop: writes each buffer handed over until told to stop.
void OverlappedWriter::write_handed_buffers() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return handed_ || stopping_; });
        if (!handed_) {
            return;
        }
        lock.unlock();
        const bool written = write_out(buffers_[handed_index_], handed_size_);
        lock.lock();
        failed_ = failed_ || !written;
        handed_ = false;
        changed_.notify_all();
    }
}

// Writes `size` bytes and starts the disk on each stretch of them, so that the final fsync finds
// little left to do.
bool OverlappedWriter::write_out(const char* data, std::size_t size) {
    if (!write_all(fd_, data, size)) {
        return false;
    }
    written_ += static_cast<off_t>(size);
    if (written_ - started_ >= writeback_stretch) {
        ::sync_file_range(fd_, started_, written_ - started_, SYNC_FILE_RANGE_WRITE);
        started_ = written_;
    }
    return true;
}

// Lets the thread finish the buffer it has and waits for it to end.
void OverlappedWriter::stop() {
    if (!thread_.joinable()) {
        return;
    }
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

}  // namespace tessaran
