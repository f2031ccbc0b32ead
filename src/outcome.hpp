// What became of one named file.
#pragma once

#include <cstdint>
#include <functional>

namespace tessaran {

enum class Outcome : std::uint8_t {
    converted,     // the converted content stands under the file's name
    unchanged,     // nothing to convert: the file was not touched at all
    missing,       // no such file, or a dangling symbolic link
    not_openable,  // not a regular file, or it cannot be opened for reading
    failed,        // the work file could not be made, written or put in place; input kept as it was
    interrupted,   // a held signal arrived; the work file is gone and the input kept as it was
};

// An outcome and, for a failure, the error of the call that failed. The cause is taken where the
// call fails and carried along: by the time anyone asks, other calls have overwritten `errno`.
struct Verdict {
    Outcome outcome;
    int error = 0;
};

// Tells the caller what became of a named file, in the order the names were given.
using Report = std::function<void(const char* path, Outcome outcome)>;

}  // namespace tessaran
