// Converting a file in chunks on two threads, written out in order.
#pragma once

#include <cstddef>
#include <memory>

#include <sys/types.h>

#include "rescale.hpp"
#include "signals.hpp"

namespace tessaran {

// The size of a chunk that converts fastest: its buffers take a little over twice as much.
constexpr std::size_t fastest_chunk = std::size_t{256} * 1024;

// What one thread converts chunks with, kept from one file to the next: its own scan, with room
// for a chunk and the line it ends in, and a buffer for the output of its chunk.
struct ChunkBuffers {
    ChunkBuffers(const HeldSignals& signals, std::size_t chunk_size);
    // How much memory buffers for chunks of `chunk_size` keeps.
    static constexpr std::size_t memory_for(std::size_t chunk_size) {
        return chunk_size + chunk_size / 4 + chunk_size;
    }

    std::size_t chunk;
    Rescaler rescaler;
    std::unique_ptr<char[]> output;  // `chunk` bytes
};

// The name of the thread that converts every other chunk.
constexpr char helper_thread_name[] = "tessaran chunks";

// Writes the input of `input` from 0 to `end` into `output`, at that file's offset: the first
// `unchanged` bytes as they stand, the rest converted. The rest is cut into chunks of whole lines;
// given `second` buffers of the same chunk size, two threads, this one and a helper, convert
// alternate chunks at once, and each writes its chunk when the chunk before it is written.
// Without second buffers, or a thread for them, this thread does it all. In a `sparse` output whole
// blocks of zeros are left as holes, as the input's are. Stops on a read or write error or once a
// held signal has arrived. Returns 0, or the error of the write that failed (EIO for a read). The
// output's data is made durable by the caller.
int convert_in_chunks(ChunkBuffers& first, ChunkBuffers* second, int input, off_t unchanged,
                      off_t end, int output, bool sparse, const HeldSignals& signals);

}  // namespace tessaran
