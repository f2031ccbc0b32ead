// Finding the regular file that a name on the command line stands for.
#pragma once

#include <string>

#include "fd.hpp"
#include "outcome.hpp"

namespace tessaran {

// The file to convert: the directory it lives in, held open so that every later step works in
// that same directory, which directory that is, and the file's name there.
struct Target {
    SharedFd directory;
    FileId folder;
    std::string name;
};

// The folder a thread found its last file in, kept open for its next: a list names most files in
// a few folders, and a folder looked up costs less than a folder opened and closed.
struct LastFolder {
    // Whether `parent`, named as the last file's folder was, still leads to it.
    bool leads_to(const std::string& parent) const;

    std::string path;  // as named, up to its last slash; empty for the working directory
    SharedFd directory;
    FileId folder;
};

// Follows `argument` through symbolic links to the regular file it finally names, so that a link
// stays a link and the file behind it is converted where it lies. Each link is read relative to
// the directory that holds it, so any chain the kernel follows is followed, however long the
// joined path would be. On failure leaves `missing` or `not_openable`, and its cause, in
// `failure`.
bool locate(const char* argument, Target& target, Verdict& failure);
// Finds the file as `locate` does, in `last`'s folder where `argument` still leads there, and keeps
// the folder it was found in for the next.
bool locate(const char* argument, Target& target, Verdict& failure, LastFolder& last);

// What the `errno` of a lookup or open that has just failed means for the user: no such file, or
// one that cannot be opened; with that `errno` as its cause.
Verdict lookup_failure();

}  // namespace tessaran
