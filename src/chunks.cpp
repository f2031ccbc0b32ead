// Converting a file in chunks on two threads, written out in order.
#include "chunks.hpp"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

#include "fd.hpp"
#include "named_thread.hpp"

namespace tessaran {
namespace {

// How much written data the disk is told to start on at once, so that the final fsync finds
// little left to do.
constexpr off_t writeback_stretch = off_t{4} * 1024 * 1024;
// The shortest run of zeros left as a hole in the output: a file system block.
constexpr std::size_t hole_block = 4096;

// What the two converting threads share: where each chunk begins, whose turn it is to write, the
// output and whether the conversion has failed. A chunk begins where the one before it ends, so a
// line longer than a chunk is looked for once, by the thread whose chunk it starts in.
class OrderedOutput {
  public:
    OrderedOutput(int output, off_t first_begin, bool sparse)
        : output_(output), sparse_(sparse), last_end_(first_begin) {}

    // Waits until the chunk before `chunk` has found its end, where `chunk` begins; -1 once the
    // conversion has failed.
    off_t begin_of(std::size_t chunk) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return failed_ || bounded_ == chunk; });
        return failed_ ? -1 : last_end_;
    }
    void set_end(std::size_t chunk, off_t end) {
        const std::lock_guard<std::mutex> lock(mutex_);
        bounded_ = chunk + 1;
        last_end_ = end;
        changed_.notify_all();
    }

    // Waits until every chunk before `chunk` is written; false once the conversion has failed.
    bool wait_turn(std::size_t chunk) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return failed_ || written_ == chunk; });
        return !failed_;
    }
    void end_turn(std::size_t chunk) {
        const std::lock_guard<std::mutex> lock(mutex_);
        written_ = chunk + 1;
        changed_.notify_all();
    }

    // Writes at the output's end. In a sparse output zeros are owed rather than written: a run of
    // at least a block's worth becomes a hole wherever it starts, and a shorter one is written once
    // the data behind it shows how short it is. A run that ends one write may go on in the next, so
    // no chunk or buffer boundary costs a block. Only the one whose turn it is calls this, so what
    // it keeps needs no lock: the turn passes on under the mutex.
    bool write(const char* data, std::size_t size) {
        if (!sparse_) {
            return write_dense(data, size);
        }
        const char* const end = data + size;
        while (data != end) {
            const auto [zeros, zeros_end] = next_zeros_to_owe(data, end);
            if (zeros != data && !(settle_owed_zeros() && write_dense(data, zeros - data))) {
                return false;
            }
            if (zeros != data) {
                punch_last_hole();
            }
            owed_zeros_ += zeros_end - zeros;
            data = zeros_end;
        }
        return true;
    }

    // Owes `count` zeros at the output's end: a hole of the input, passed on unread.
    void skip(off_t count) { owed_zeros_ += count; }

    // Gives a sparse output its full size, the zeros still owed at its end included.
    bool finish() {
        if (sparse_ && ::ftruncate(output_, output_end_ + owed_zeros_) != 0) {
            write_error_ = errno;
            return false;
        }
        if (sparse_ && owed_zeros_ > 0) {
            hole_ = {output_end_, output_end_ + owed_zeros_};
            punch_last_hole();
        }
        return true;
    }

    void fail() {
        const std::lock_guard<std::mutex> lock(mutex_);
        failed_ = true;
        changed_.notify_all();
    }
    bool failed() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return failed_;
    }
    // Why a write failed, or 0; read once every writer is done.
    int write_error() const { return write_error_; }

  private:
    bool write_dense(const char* data, std::size_t size) {
        if (!write_all(output_, data, size)) {
            write_error_ = errno;
            return false;
        }
        output_end_ += static_cast<off_t>(size);
        if (output_end_ - started_ >= writeback_stretch) {
            ::sync_file_range(output_, started_, output_end_ - started_, SYNC_FILE_RANGE_WRITE);
            started_ = output_end_;
        }
        return true;
    }

    // Before data is written, the zeros owed become a hole, or are written when too few for one.
    bool settle_owed_zeros() {
        static constexpr char zeros[hole_block] = {};
        if (owed_zeros_ > 0 && owed_zeros_ < static_cast<off_t>(hole_block)) {
            if (!write_dense(zeros, static_cast<std::size_t>(owed_zeros_))) {
                return false;
            }
        } else if (owed_zeros_ > 0) {
            if (::lseek(output_, owed_zeros_, SEEK_CUR) < 0) {
                write_error_ = errno;
                return false;
            }
            hole_ = {output_end_, output_end_ + owed_zeros_};
            output_end_ += owed_zeros_;
        }
        owed_zeros_ = 0;
        return true;
    }

    // A file system may give a file room past its end ahead of the writes it expects there (xfs
    // does); a hole skipped over keeps that room inside the file. So once the data behind a hole is
    // written, the hole is made one again. Where that cannot be done, the file is only larger.
    void punch_last_hole() {
        if (hole_.second > hole_.first) {
            (void)::fallocate(output_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, hole_.first,
                              hole_.second - hole_.first);
            hole_ = {};
        }
    }

    // The next run of zeros in `data` to `end` worth owing: one of a block's worth or more, or
    // one that reaches the end and may go on. The bytes before it are written as they stand.
    static std::pair<const char*, const char*> next_zeros_to_owe(const char* data,
                                                                 const char* end) {
        for (const char* at = data;;) {
            const auto* zeros = static_cast<const char*>(std::memchr(at, 0, end - at));
            if (zeros == nullptr) {
                return {end, end};
            }
            const char* zeros_end = std::find_if(zeros, end, [](char byte) { return byte != 0; });
            if (zeros_end == end || zeros_end - zeros >= static_cast<std::ptrdiff_t>(hole_block)) {
                return {zeros, zeros_end};
            }
            at = zeros_end;
        }
    }

    int output_;
    bool sparse_;                   // the input has holes: so does the output
    off_t owed_zeros_ = 0;          // zeros behind what is written, not yet written or skipped
    off_t output_end_ = 0;          // written or skipped so far
    off_t started_ = 0;             // the disk has been told to start on this much
    std::pair<off_t, off_t> hole_;  // the last hole skipped over, until it is punched
    int write_error_ = 0;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t bounded_ = 0;  // chunks whose end is known
    off_t last_end_;           // the end of the last of them
    std::size_t written_ = 0;  // chunks written
    bool failed_ = false;
};

// Gathers one chunk's output, and writes it in the chunk's turn whenever the buffer fills and at
// the end. A held signal that has arrived stops the conversion at the next write.
class ChunkSink final : public RescaleSink {
  public:
    ChunkSink(OrderedOutput& ordered, std::size_t chunk, ChunkBuffers& buffers,
              const HeldSignals& signals)
        : ordered_(ordered),
          chunk_(chunk),
          buffer_(buffers.output.get()),
          output_size_(buffers.chunk),
          signals_(signals) {}

    bool pass(std::string_view unchanged) override { return append(unchanged); }
    bool replace(std::string_view rewritten) override { return append(rewritten); }
    bool pass_zeros(off_t count) override {
        if (!flush()) {
            return false;
        }
        ordered_.skip(count);
        return true;
    }

    // Writes what is left and hands the turn on.
    bool finish() {
        if (!flush()) {
            return false;
        }
        ordered_.end_turn(chunk_);
        return true;
    }

  private:
    bool append(std::string_view bytes) {
        if (bytes.size() > output_size_ - used_) {
            return append_across_writes(bytes);
        }
        std::memcpy(buffer_ + used_, bytes.data(), bytes.size());
        used_ += bytes.size();
        return true;
    }

    bool append_across_writes(std::string_view bytes) {
        while (!bytes.empty()) {
            if (used_ == output_size_ && !flush()) {
                return false;
            }
            const std::size_t taken = std::min(output_size_ - used_, bytes.size());
            std::memcpy(buffer_ + used_, bytes.data(), taken);
            used_ += taken;
            bytes.remove_prefix(taken);
        }
        return true;
    }

    bool flush() {
        if (signals_.pending() != 0 || !ordered_.wait_turn(chunk_) ||
            !ordered_.write(buffer_, used_)) {
            return false;
        }
        used_ = 0;
        return true;
    }

    OrderedOutput& ordered_;
    std::size_t chunk_;
    char* buffer_;
    std::size_t output_size_;  // of `buffer_`: a chunk's input, which its output nearly always fits
    const HeldSignals& signals_;
    std::size_t used_ = 0;
};

// Converts chunks `first`, `first + step`, ... until the input ends or the conversion fails.
void convert_chunks(ChunkBuffers& buffers, OrderedOutput& ordered, int input, off_t end,
                    std::size_t first, std::size_t step, const HeldSignals& signals) {
    for (std::size_t chunk = first;; chunk += step) {
        const off_t begin = ordered.begin_of(chunk);
        if (begin < 0) {
            return;
        }
        if (begin >= end) {
            ordered.set_end(chunk, end);  // so that the other thread ends too
            return;
        }
        const off_t nominal_end = begin + static_cast<off_t>(buffers.chunk);
        const off_t chunk_end =
            nominal_end >= end ? end : buffers.rescaler.line_start_from(input, nominal_end, end);
        if (chunk_end < 0) {
            ordered.fail();
            return;
        }
        ordered.set_end(chunk, std::min(chunk_end, end));
        ChunkSink sink(ordered, chunk, buffers, signals);
        if (buffers.rescaler.run(input, begin, sink, std::min(chunk_end, end)) !=
                ScanEnd::finished ||
            !sink.finish()) {
            ordered.fail();
            return;
        }
    }
}

// Writes the first `size` bytes of `input` as they stand, through the output buffer of `buffers`; a
// `sparse` input's holes are passed on unread.
bool copy_unchanged(ChunkBuffers& buffers, int input, off_t size, bool sparse,
                    OrderedOutput& ordered, const HeldSignals& signals) {
    char* const buffer = buffers.output.get();
    for (off_t offset = 0; offset < size;) {
        if (const off_t data = sparse ? data_from(input, offset, size) : offset; data > offset) {
            ordered.skip(data - offset);
            offset = data;
            continue;
        }
        const auto wanted =
            static_cast<std::size_t>(std::min(static_cast<off_t>(buffers.chunk), size - offset));
        const long count = read_at(input, buffer, wanted, offset);
        if (count <= 0 || signals.pending() != 0 ||
            !ordered.write(buffer, static_cast<std::size_t>(count))) {
            return false;
        }
        offset += count;
    }
    return true;
}

// The second buffers converting every other chunk on a thread of their own; none where no thread
// can be had, and this thread then converts every chunk.
std::thread second_thread(ChunkBuffers& buffers, OrderedOutput& ordered, int input, off_t end,
                          const HeldSignals& signals) {
    return start_named_thread(helper_thread_name, [&buffers, &ordered, input, end, &signals] {
        convert_chunks(buffers, ordered, input, end, 1, 2, signals);
    });
}

}  // namespace

// A chunk's output is never longer than its input by more than a line feed, so one buffer of the
// same size nearly always holds it; the window has room for the line the chunk ends in.
ChunkBuffers::ChunkBuffers(const HeldSignals& signals, std::size_t chunk_size)
    : chunk(chunk_size), rescaler(chunk_size + chunk_size / 4), output(new char[chunk_size]) {
    rescaler.watch(signals);
}

int convert_in_chunks(ChunkBuffers& first, ChunkBuffers* second, int input, off_t unchanged,
                      off_t end, int output, bool sparse, const HeldSignals& signals) {
    OrderedOutput ordered(output, unchanged, sparse);
    if (!copy_unchanged(first, input, unchanged, sparse, ordered, signals)) {
        return ordered.write_error() != 0 ? ordered.write_error() : EIO;
    }
    // A file of one chunk is not worth a thread.
    std::thread helper = second == nullptr || end - unchanged <= static_cast<off_t>(first.chunk)
                             ? std::thread()
                             : second_thread(*second, ordered, input, end, signals);
    convert_chunks(first, ordered, input, end, 0, helper.joinable() ? 2 : 1, signals);
    if (helper.joinable()) {
        helper.join();
    }
    if (ordered.failed() || !ordered.finish()) {
        return ordered.write_error() != 0 ? ordered.write_error() : EIO;
    }
    return 0;
}

}  // namespace tessaran
