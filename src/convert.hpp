// Converting named layout files in place.
#pragma once

#include <cstddef>

#include "convert_file.hpp"
#include "durability.hpp"
#include "in_turn.hpp"
#include "outcome.hpp"
#include "signals.hpp"

namespace tessaran {

class Pipeline;

// Converts files in the order they are named. Each converted file is written to a work file beside
// it; the work files of a batch of files are made durable together and then renamed over their
// files in order, so that every name holds either the whole old or the whole new content at every
// moment. Each outcome is handed to `report` in the order the names were given, once it is final.
class Converter {
  public:
    Converter(const HeldSignals& signals, Report report);

    // Converts the file named by `path` in its turn, or holds it in the batch until the batch is
    // committed. Another run converting the same file is waited for, with nothing held meanwhile.
    // Once a held signal has arrived, the batch is given up and this returns.
    void convert(const char* path);

    // Converts each of the `count` files named by `paths`, in order, as `convert` does one after
    // the other, on as many threads as the run may use: files are converted ahead of their turn,
    // and held, put in place and reported in it. A file that meets what only its turn may settle
    // is converted again in its turn, alone. Returns once a held signal has arrived.
    void convert_all(const char* const* paths, std::size_t count);

    // Commits what the batch holds. Then flushes every directory a file was renamed into, so that
    // the renames survive a power failure; false if any could not be flushed.
    bool finish();

  private:
    void convert_with(Pipeline& pipeline, const char* const* paths, std::size_t count);
    void convert_rest_in_turn(const char* const* paths, std::size_t next, std::size_t count);
    // Once a held signal has arrived, hands over the outcomes already decided for `paths[next]`
    // on.
    void hand_over_decided(Pipeline& pipeline, const char* const* paths, std::size_t next,
                           std::size_t count);

    const HeldSignals& signals_;
    std::size_t files_open_;    // how many files the run may hold open at once
    std::size_t window_;        // how many files may be converted ahead at once; 0 for none
    FileSystems file_systems_;  // shared by every thread; guards itself
    FileConverter files_;       // shared by every thread
    // Used by the caller's thread alone: the thread that converts in turn and owns the batch.
    ThreadBuffers buffers_;
    LastFolder folder_;
    InTurn in_turn_;
};

}  // namespace tessaran
