// Writing a file from two buffers in turn, so that the disk work overlaps the work that fills them.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <string_view>
#include <thread>

#include <sys/types.h>

namespace tessaran {

// While a second thread writes one buffer to the file and starts the disk on it, the caller
// fills the other. The thread starts only when a first buffer is full, so a small file is
// written by the caller alone. The file's data is made durable by the caller's fsync, not here.
class OverlappedWriter {
  public:
    OverlappedWriter(int fd, char* first_buffer, char* second_buffer, std::size_t buffer_size);
    OverlappedWriter(const OverlappedWriter&) = delete;
    OverlappedWriter& operator=(const OverlappedWriter&) = delete;
    ~OverlappedWriter();

    // Appends `bytes`; false once a failed write has come to light, at a hand-over at the latest.
    bool append(std::string_view bytes) {
        if (bytes.size() >= capacity_ - used_) {
            return append_across_buffers(bytes);
        }
        std::memcpy(buffers_[filling_] + used_, bytes.data(), bytes.size());
        used_ += bytes.size();
        return true;
    }
    // The free room of the buffer being filled; `commit` takes what was put there.
    char* room(std::size_t& size);
    bool commit(std::size_t size);
    // Writes the rest and waits for all writes; false if any failed.
    bool finish();

  private:
    bool append_across_buffers(std::string_view bytes);
    bool hand_over();
    void write_handed_buffers();
    bool write_out(const char* data, std::size_t size);
    void stop();

    int fd_;
    char* buffers_[2];
    std::size_t capacity_;
    int filling_ = 0;       // the buffer the caller fills
    std::size_t used_ = 0;  // bytes in it
    off_t written_ = 0;     // bytes written to the file; only the writing thread touches these two
    off_t started_ = 0;     // bytes the disk has been told to start on

    std::mutex mutex_;
    std::condition_variable changed_;
    bool handed_ = false;  // buffers_[handed_index_] waits for the thread or is being written
    int handed_index_ = 0;
    std::size_t handed_size_ = 0;
    bool stopping_ = false;
    bool failed_ = false;
    std::thread thread_;
};

}  // namespace tessaran
