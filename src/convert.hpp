// Converting one named layout file in place.
#pragma once

#include <memory>

#include <sys/stat.h>

#include "directory_sync.hpp"
#include "locate.hpp"
#include "outcome.hpp"
#include "signals.hpp"

namespace tessaran {

// Converts files one at a time. It keeps its buffers from one file to the next, and the
// directories it has renamed into until they are flushed.
class Converter {
  public:
    explicit Converter(const HeldSignals& signals);
    ~Converter();

    // Converts the file named by `path` in place: the converted content is written to a work file
    // beside it, made durable, and renamed over it, so that the name holds either the whole old or
    // the whole new content at every moment. Another run converting the same file is waited for.
    Outcome convert(const char* path);

    // Flushes every directory a file was renamed into, so that the renames survive a power
    // failure. False if any could not be flushed.
    bool flush_directories() { return directories_.flush(); }

  private:
    struct Buffers;

    Outcome convert_once(const char* path, bool& name_moved);
    // Writes the converted form of `input`, whose first `unchanged_prefix` bytes need no change,
    // to a work file and renames it over the target.
    Outcome replace(int input, const struct stat& status, off_t unchanged_prefix,
                    const Target& target);

    std::unique_ptr<Buffers> buffers_;
    const HeldSignals& signals_;
    DirectorySync directories_;
};

}  // namespace tessaran
