// Converting one named file into a work file beside it, in its turn or ahead of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include <sys/stat.h>
#include <sys/types.h>

#include "chunks.hpp"
#include "durability.hpp"
#include "held_file.hpp"
#include "locate.hpp"
#include "outcome.hpp"
#include "signals.hpp"
#include "work_file.hpp"

namespace tessaran {

// What converting one file came to: its verdict and, once converted, the file to hold until it is
// put in place.
struct Result {
    Verdict verdict;
    std::unique_ptr<HeldFile> file;
};

// What a file's turn answers where its conversion meets what only that turn may settle.
enum class Step : std::uint8_t {
    go_on,          // settled: the conversion goes on
    look_again,     // the name may lead to another file now: the conversion starts again
    wait_for_turn,  // not before its turn: nothing of the file is kept, and it is converted then
};

// Where a file stands in the run's order while it is converted: in its turn, every file named
// before it settled, or ahead of it. Only in its turn may a file wait for another run, or put in
// place the files before it that stand in its way, as one file at a time would have.
class Turn {
  public:
    virtual ~Turn() = default;

    // The file has been found as `target`, and is about to be opened.
    virtual Step on_found(const Target& target) = 0;
    // The file is about to wait, or to hold others up: for another run's lease or lock, for a
    // long read, for a work name or for room that the files before it may be holding.
    virtual Step make_way() = 0;
    // Whether the file `entry`, found under a work name, may be one that the files before this one
    // still need.
    virtual bool held_before(const struct stat& entry) const = 0;
    // Takes what converting the file named `path` came to, which is final.
    virtual void hand_over(const char* path, Result result) = 0;

  protected:
    Turn() = default;
    Turn(const Turn&) = default;
    Turn(Turn&&) = default;
    Turn& operator=(const Turn&) = default;
    Turn& operator=(Turn&&) = default;
};

// The chunk buffers one thread converts with, made when first needed and kept from file to file:
// one set, and a second for a helper thread where the thread has one.
class ThreadBuffers {
  public:
    ThreadBuffers(std::size_t chunk, bool with_helper) : chunk_(chunk), with_helper_(with_helper) {}
    // Makes them, unless made already; throws std::bad_alloc when memory runs out.
    void make(const HeldSignals& signals);
    ChunkBuffers& first() { return *first_; }
    ChunkBuffers* second() { return second_.get(); }

  private:
    std::size_t chunk_;
    bool with_helper_;
    std::unique_ptr<ChunkBuffers> first_;
    std::unique_ptr<ChunkBuffers> second_;
};

// Converts named files into work files beside them: finds each, opens and locks it, checks it,
// converts it and hands the result to its turn. Shared by every thread of a run, each of which
// brings its own turn and buffers.
class FileConverter {
  public:
    FileConverter(const HeldSignals& signals, FileSystems& file_systems)
        : signals_(signals), file_systems_(file_systems) {}

    // The names of the run, kept by the caller: a file named in it is never taken for a leftover.
    void name_all(const char* const* paths, std::size_t count);
    // Converts the file named `path` and hands the result to `turn`, unless `turn` has it wait for
    // its turn. Another run converting the same file is waited for, if its turn lets it. `folder`
    // is the calling thread's own, kept from file to file.
    void convert(const char* path, Turn& turn, ThreadBuffers& buffers, LastFolder& folder);

  private:
    // What one try came to: the file's result, or the step its turn asked for instead.
    using Try = std::variant<Result, Step>;

    std::optional<Result> attempt(const char* path, Turn& turn, ThreadBuffers& buffers,
                                  LastFolder& folder);
    Try convert_once(const char* path, Turn& turn, ThreadBuffers& buffers, LastFolder& folder);
    std::optional<Try> lock(int input, Turn& turn);
    Try convert_locked(Target& target, UniqueFd& input, const struct stat& status, Turn& turn,
                       ThreadBuffers& buffers);
    Try replace(Target& target, UniqueFd& input, const struct stat& status, off_t unchanged_prefix,
                bool holes, Turn& turn, ThreadBuffers& buffers);
    std::optional<Try> create_work_file(HeldFile& file, Turn& turn);
    void take_link_moves(HeldFile& file);
    bool named_in_run(const std::string& name, const struct stat& entry) const;

    const HeldSignals& signals_;
    FileSystems& file_systems_;  // shared by every thread; guards itself
    Leftovers leftovers_;        // shared by every thread; guards itself
    // Set before any thread starts, then only read.
    const char* const* named_ = nullptr;
    std::size_t named_count_ = 0;
};

}  // namespace tessaran
