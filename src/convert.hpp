// Converting one named layout file in place.
#pragma once

#include <memory>
#include <string>

#include <sys/stat.h>

#include "fd.hpp"
#include "rescale.hpp"
#include "signals.hpp"

namespace tessaran {

enum class Outcome {
    converted,     // the converted content stands under the file's name
    unchanged,     // nothing to convert: the file was not touched at all
    missing,       // no such file, or a dangling symbolic link
    not_openable,  // not a regular file, or it cannot be opened for reading
    failed,        // the work file could not be made, written or put in place; input kept as it was
    interrupted,   // a held signal arrived; the work file is gone and the input kept as it was
};

// The file to convert: the directory it lives in, held open so that every later step works in
// that same directory, and its name there.
struct Target {
    UniqueFd directory;
    std::string name;
};

// Converts files one at a time. It keeps its buffers from one file to the next and nothing else.
class Converter {
  public:
    explicit Converter(const HeldSignals& signals);

    // Converts the file named by `path` in place: the converted content is written to a work file
    // beside it, made durable, and renamed over it, so that the name holds either the whole old or
    // the whole new content at every moment.
    Outcome convert(const char* path);

  private:
    // Writes the converted form of `input`, whose first `unchanged_prefix` bytes need no change,
    // to a work file and renames it over the target.
    Outcome replace(int input, const struct stat& status, off_t unchanged_prefix,
                    const Target& target);

    Rescaler rescaler_;
    std::unique_ptr<char[]> output_;
    const HeldSignals& signals_;
};

}  // namespace tessaran
