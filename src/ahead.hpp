// Converting a file ahead of its turn, on a thread of its own, while the files before it are
// still being put in place.
#pragma once

#include <cstddef>
#include <optional>

#include <sys/stat.h>

#include "convert_file.hpp"
#include "durability.hpp"
#include "locate.hpp"

namespace tessaran {

// What converting one file ahead of its turn came to: its result, or none where it met what only
// its turn may settle (a lock to wait for, files before it to put in place first); then nothing of
// it was kept, and it is converted again in its turn.
using Ahead = std::optional<Result>;

// One thread's turn ahead of the run's order. It holds no file that another file may need, so it
// never waits nor puts anything in place: whatever would need either waits for the file's turn.
// It cannot reach the batch, which only the thread converting in turn holds.
class AheadOfTurn final : public Turn {
  public:
    AheadOfTurn(FileConverter& files, FileSystems& file_systems, std::size_t chunk)
        : files_(files), file_systems_(file_systems), buffers_(chunk, false) {}

    // Converts the file named `path` ahead of its turn.
    Ahead convert(const char* path);

    // Any name a work file may have waits for its turn: a file before it may be making that very
    // work file. So does a file where files are swapped in one at a time: without a journal, a
    // folder that grows by many entries at once may be lost to a power cut whole.
    Step on_found(const Target& target) override;
    Step make_way() override { return Step::wait_for_turn; }
    // Any leftover may be a file before it in the list: none is removed until the file's turn.
    bool held_before(const struct stat&) const override { return true; }
    void hand_over(const char*, Result result) override { handed_ = std::move(result); }

  private:
    FileConverter& files_;
    FileSystems& file_systems_;
    ThreadBuffers buffers_;
    LastFolder folder_;
    Ahead handed_;  // what the last file came to, until `convert` returns it
};

}  // namespace tessaran
