// Converting a file in chunks on two threads, written out in order.
#pragma once

#include <cstddef>
#include <memory>

#include <sys/types.h>

#include "rescale.hpp"
#include "signals.hpp"

namespace tessaran {

// What one worker converts with, kept from one file to the next: its own scan, and a buffer for
// the output of its chunk.
struct Worker {
    explicit Worker(const HeldSignals& signals);
    Rescaler rescaler;
    std::unique_ptr<char[]> output;
};

// The name of the thread that converts every other chunk.
constexpr char helper_thread_name[] = "tessaran chunks";

// Writes the input of `input` from 0 to `end` into `output`, at that file's offset: the first
// `unchanged` bytes as they stand, the rest converted. The rest is cut into chunks of whole lines;
// two workers, this thread and a second one, convert alternate chunks at once, and each writes
// its chunk when the chunk before it is written. Without a second thread to be had, this thread
// does it all. In a `sparse` output whole blocks of zeros are left as holes, as the input's are.
// Stops on a read or write error or once a held signal has arrived. Returns 0, or the error of
// the write that failed (EIO for a read). The output's data is made durable by the caller.
int convert_in_chunks(Worker (&workers)[2], int input, off_t unchanged, off_t end, int output,
                      bool sparse, const HeldSignals& signals);

}  // namespace tessaran
