// Converting named layout files in place.
#pragma once

#include <cstddef>
#include <memory>

#include <sys/stat.h>

#include "batch.hpp"
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

    Verdict attempt(const char* path);
    Verdict convert_once(const char* path, bool& name_moved);
    // Takes the exclusive lock on the open file `input`; on failure leaves why in `failure`.
    bool lock(int input, Verdict& failure);
    // Converts the file `input`, locked, of `status`, found as `target`, unless it needs no change.
    Verdict convert_locked(const char* path, Target& target, UniqueFd& input,
                           const struct stat& status);
    // Writes the converted form of `input`, whose first `unchanged_prefix` bytes need no change,
    // to a work file, with holes where the input has `holes`, and holds it in the batch.
    Verdict replace(const char* path, Target& target, UniqueFd& input, const struct stat& status,
                    off_t unchanged_prefix, bool holes);
    // Flushes the file system `device` of `directory` if this run has not written there yet.
    void flush_before_first_write(int directory, dev_t device);
    // Creates the work file of `file`; 0, or the error of the call that failed.
    int create_work_file(HeldFile& file);
    // How a work file on the file system `device`, open as `work`, is made durable.
    Durability durability_on(dev_t device, int work);

    std::unique_ptr<Buffers> buffers_;
    const HeldSignals& signals_;
    Batch batch_;
};

}  // namespace tessaran
