// Converting named layout files in place.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>

#include <sys/stat.h>

#include "batch.hpp"
#include "durability.hpp"
#include "locate.hpp"
#include "outcome.hpp"
#include "signals.hpp"
#include "work_file.hpp"

namespace tessaran {

class Pipeline;

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

    // Converts each of the `count` files named by `paths`, in order, as `convert` does one after
    // the other, on as many threads as the run may use: files are converted ahead of their turn,
    // and held, put in place and reported in it. A file that meets what only its turn may settle
    // is converted again in its turn, alone. Returns once a held signal has arrived.
    void convert_all(const char* const* paths, std::size_t count);

    // Commits what the batch holds. Then flushes every directory a file was renamed into, so that
    // the renames survive a power failure; false if any could not be flushed.
    bool finish();

  private:
    struct Buffers;
    // What one thread converts with, and whether it converts ahead of the file's turn: then it
    // never waits nor puts the batch in place, and defers what would need either.
    struct Lane {
        std::unique_ptr<Buffers>& buffers;  // made as they are first needed
        bool ahead;
        std::size_t chunk;  // the size of the chunks its workers convert
    };

    void convert_ahead(Pipeline& pipeline, const char* const* paths, std::size_t count);
    // Once a held signal has arrived, settles the outcomes already decided for `paths[next]` on.
    void settle_decided(Pipeline& pipeline, const char* const* paths, std::size_t next,
                        std::size_t count);
    // Holds or settles `path`'s file in the batch, in its turn, and commits the batch when due.
    void take(const char* path, const Verdict& verdict, std::unique_ptr<HeldFile> file);
    Verdict attempt(const char* path, const Lane& lane, std::unique_ptr<HeldFile>& made);
    Verdict convert_once(const char* path, const Lane& lane, std::unique_ptr<HeldFile>& made,
                         bool& name_moved);
    // Whether the file `target` lies where files are swapped in one at a time; then says so for
    // the rest of the run.
    bool swapped_in_one_at_a_time(const Target& target, const Lane& lane);
    // Takes the exclusive lock on the open file `input`; on failure leaves why in `failure`.
    bool lock(int input, const Lane& lane, Verdict& failure);
    // Converts the file `input`, locked, of `status`, found as `target`, unless it needs no change.
    Verdict convert_locked(Target& target, UniqueFd& input, const struct stat& status,
                           const Lane& lane, std::unique_ptr<HeldFile>& made);
    // Writes the converted form of `input`, whose first `unchanged_prefix` bytes need no change,
    // to a work file, with holes where the input has `holes`, and leaves it in `made`.
    Verdict replace(Target& target, UniqueFd& input, const struct stat& status,
                    off_t unchanged_prefix, bool holes, const Lane& lane,
                    std::unique_ptr<HeldFile>& made);
    // Creates the work file of `file`; 0, or the error of the call that failed.
    int create_work_file(HeldFile& file, const Lane& lane);
    // Whether the file `name` of `entry` is one of the files named in the run.
    bool named_in_run(const std::string& name, const struct stat& entry) const;
    // How a work file on the file system `device`, open as `work`, is made durable.
    static Durability durability_on(dev_t device, int work, Buffers& buffers);

    // Used by the caller's thread alone: the thread that converts in turn.
    std::unique_ptr<Buffers> buffers_;
    const HeldSignals& signals_;
    std::size_t window_;  // how many files may be converted ahead at once; 0 for none
    std::size_t chunk_;   // the size of the chunks every worker of the run converts
    // Set by a thread converting ahead that found a file system where files are swapped in one
    // at a time: the rest of the run converts them one after the other.
    std::atomic<bool> one_at_a_time_{false};
    FirstWrites first_writes_;            // shared by every thread; guards itself
    Leftovers leftovers_;                 // shared by every thread; guards itself
    const char* const* named_ = nullptr;  // the names of the run, once `convert_all` has them
    std::size_t named_count_ = 0;
    // The caller's thread alone holds, commits and reports through it. A thread converting ahead
    // never reaches it: every use is behind a `Lane` that is not ahead.
    Batch batch_;
};

}  // namespace tessaran
