// Converting each file in its turn, and holding it in the batch until the batch is put in place.
#pragma once

#include <cstddef>

#include <sys/stat.h>

#include "batch.hpp"
#include "convert_file.hpp"
#include "locate.hpp"
#include "outcome.hpp"
#include "signals.hpp"

namespace tessaran {

// The turn of the thread that takes the files in the order named. It owns the batch: it holds
// each file converted there, records every other outcome in order, and may put the files before
// a file in place and then wait, as one file at a time would.
class InTurn final : public Turn {
  public:
    InTurn(const HeldSignals& signals, Report report, std::size_t most_files)
        : signals_(signals), batch_(signals, std::move(report), most_files) {}

    // One file at a time, a work file held under the name found would be in place already: it is
    // put there, and the name looked up again.
    Step on_found(const Target& target) override;
    // Nothing held while the file waits: what the batch holds is put in place first.
    Step make_way() override;
    bool held_before(const struct stat& entry) const override {
        return batch_.holds_inode(entry.st_dev, entry.st_ino);
    }
    // Holds a converted file in the batch, or records any other outcome; then commits the batch
    // once a held signal has arrived, or in the background when it is full.
    void hand_over(const char* path, Result result) override;

    // Whether putting the batch in place now costs no flush of a file system.
    bool free_to_commit() const { return batch_.free_to_commit(); }
    // Puts what the batch holds in place, and reports every outcome it has recorded.
    void commit() { batch_.commit(); }
    // Puts a few more files in place of the set flushed in the background, if its flush is done;
    // whether any of that set is left to put in place.
    bool catch_up();
    // Commits what the batch holds, then flushes every directory a file was renamed into; false
    // if any could not be flushed.
    bool finish() { return batch_.finish(); }

  private:
    const HeldSignals& signals_;
    Batch batch_;
};

}  // namespace tessaran
