// Converting one named layout file in place.
#pragma once

#include <memory>
#include <string>

#include <sys/stat.h>

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

// Converts files one at a time. It keeps its buffers from one file to the next and nothing else.
class Converter {
  public:
    explicit Converter(const HeldSignals& signals);

    // Converts the file named by `path` in place: the converted content is written to a work file
    // beside it, made durable, and renamed over it, so that the name holds either the whole old or
    // the whole new content at every moment.
    Outcome convert(const char* path);

  private:
    // Writes the converted form of `input` to a work file and renames it over `name`.
    Outcome replace(int input, const struct stat& status, int directory, const std::string& name);

    Rescaler rescaler_;
    std::unique_ptr<char[]> output_;
    const HeldSignals& signals_;
};

}  // namespace tessaran
