// Converting named layout files in place.
#pragma once

#include <cstddef>
#include <memory>

#include <sys/stat.h>

#include "batch.hpp"
#include "directory_sync.hpp"
#include "locate.hpp"
#include "outcome.hpp"
#include "signals.hpp"

namespace tessaran {

// Converts files in the order they are named. Each converted file is written to a work file beside
// it; the work files of a batch of files are made durable together and then renamed over their
// files in order, so that every name holds either the whole old or the whole new content at every
// moment. Each outcome is handed to `report` in the order the names were given, once it is final.
class Converter {
  public:
    Converter(const HeldSignals& signals, Report report);
    ~Converter();

    // Converts the file named by `path`, or holds it in the batch until the batch is committed.
    // Another run converting the same file is waited for, with nothing held meanwhile. Once a held
    // signal has arrived, the batch is given up and this returns.
    void convert(const char* path);

    // Commits what the batch holds. Then flushes every directory a file was renamed into, so that
    // the renames survive a power failure; false if any could not be flushed.
    bool finish();

  private:
    struct Buffers;

    Outcome attempt(const char* path);
    Outcome convert_once(const char* path, bool& name_moved);
    // Writes the converted form of `input`, whose first `unchanged_prefix` bytes need no change,
    // to a work file, and holds it in the batch.
    Outcome replace(const char* path, Target& target, UniqueFd& input, const struct stat& status,
                    off_t unchanged_prefix);
    // Commits the batch and flushes the directories: what a file that failed beside them is
    // tried again without.
    void release_all();

    std::unique_ptr<Buffers> buffers_;
    const HeldSignals& signals_;
    std::size_t most_held_;  // files held, and directories noted, at once
    DirectorySync directories_;
    Batch batch_;
    bool directories_failed_ = false;
};

}  // namespace tessaran
