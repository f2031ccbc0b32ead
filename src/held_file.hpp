// A file converted into its work file, held until it is put in place or given up.
#pragma once

#include <utility>

#include <sys/stat.h>
#include <sys/types.h>

#include "durability.hpp"
#include "fd.hpp"
#include "locate.hpp"
#include "work_file.hpp"

namespace tessaran {

// Written data held at once, at most: past this much one flush of a batch no longer saves much,
// and a file larger than this is not read while the files before it wait.
constexpr off_t most_held_bytes = off_t{64} * 1024 * 1024;

// A converted file, its work file finished and its attributes given. It keeps the file locked,
// its directory open and the work file in being until it is put in place or given up.
struct HeldFile {
    HeldFile(Target found, UniqueFd opened, const struct stat& at_start)
        : target(std::move(found)),
          input(std::move(opened)),
          start(at_start),
          work(target.directory.get(), target.name) {}

    Target target;
    UniqueFd input;     // holds the lock
    struct stat start;  // the input as it was converted
    WorkFile work;
    // The work file as this run's last write left it, before any attribute was given: its file
    // system, and the size and time that no other writer may change.
    struct stat written {};
    Durability durability = Durability::on_its_own;
};

}  // namespace tessaran
