// Converting named layout files in place: each in its turn on this thread, and on every other CPU
// ahead of its turn.
#include "convert.hpp"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include "ahead.hpp"
#include "chunks.hpp"
#include "fd.hpp"
#include "pipeline.hpp"

namespace tessaran {
namespace {

// Descriptors kept for the standard streams, a caller's leftovers and the files being looked up.
constexpr rlim_t spare_descriptors = 32;
// A held file takes three (the file, its work file, its directory); a noted directory one. A file
// converted ahead takes three as well. A file put in place keeps its old file and its folder open
// until its rename is on disk, through the next set's flush.
constexpr rlim_t descriptors_per_file = 5;
// Files held at once in each of the batch's three sets (the one being put in place, the one being
// flushed, the one being filled), at most, and as many again converted ahead.
constexpr std::size_t most_files_at_once = 512;
constexpr std::size_t batch_sets = 3;
constexpr std::size_t most_files_open = (batch_sets + 1) * most_files_at_once;
// Threads converting ahead, at most.
constexpr int most_threads = 8;
// On several threads, the chunk buffers of a run share this much, so that its memory is the same
// whatever number of CPUs it may use: about what one thread's two sets take alone.
constexpr std::size_t shared_budget = std::size_t{1} << 20;
// A chunk no smaller than this: below it, the calls for each chunk cost more than its conversion.
constexpr std::size_t smallest_chunk = std::size_t{32} * 1024;
constexpr std::size_t page = 4096;

// How many files may be open at once within the open-file limit: held in the batch (with their
// directories noted) or converted ahead. A soft limit below the hard one is raised first, as far as
// the run can use: a shell's soft limit is often far below what its user may have.
std::size_t files_open_at_once() {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return most_files_open;
    }
    const rlim_t wanted = spare_descriptors + descriptors_per_file * most_files_open;
    if (limit.rlim_cur < wanted && limit.rlim_cur < limit.rlim_max) {
        struct rlimit raised = limit;
        raised.rlim_cur = std::min(wanted, limit.rlim_max);
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            limit = raised;
        }
    }
    const rlim_t room = limit.rlim_cur > spare_descriptors ? limit.rlim_cur - spare_descriptors : 0;
    return std::clamp<std::size_t>(room / descriptors_per_file, 1, most_files_open);
}

// How many threads the run may convert on: one for each CPU it may run on, so that a run pinned to
// one CPU converts on one thread.
std::size_t threads_to_use() {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (::sched_getaffinity(0, sizeof allowed, &allowed) != 0) {
        return 1;
    }
    return static_cast<std::size_t>(std::clamp(CPU_COUNT(&allowed), 1, most_threads));
}

// How many files may be converted ahead: none on one thread; else a quarter of the files that may
// be open, the rest held by the batch's sets.
std::size_t window_for(std::size_t threads, std::size_t files) {
    constexpr std::size_t shares = batch_sets + 1;
    return threads > 1 && files >= 2 * shares
               ? files - batch_sets * std::min(files / shares, most_files_at_once)
               : 0;
}

// How many files each of the batch's sets may hold, of the `files` that may be open, besides the
// `window` converted ahead.
std::size_t batch_files(std::size_t files, std::size_t window) {
    return std::clamp<std::size_t>((files - window) / batch_sets, 1, most_files_at_once);
}

// The chunk size of every thread of a run on `threads` threads: one set of chunk buffers for each
// thread that converts ahead, and two for the first thread, within the budget they share.
std::size_t chunk_for(std::size_t threads) {
    if (threads <= 1) {
        return fastest_chunk;
    }
    const std::size_t buffers = threads + 2;
    std::size_t chunk = fastest_chunk;
    while (chunk > smallest_chunk && buffers * ChunkBuffers::memory_for(chunk) > shared_budget) {
        chunk -= page;
    }
    return chunk;
}

// Grows this process's descriptor table to hold `files` open files. A process of several threads
// that grows it waits for every CPU to pass through the scheduler first (tens of milliseconds on
// a virtual machine, each time); grown before the threads start, it never grows again.
void make_room_for(std::size_t files) {
    const auto highest = static_cast<int>(spare_descriptors + descriptors_per_file * files);
    const UniqueFd any(::open("/", O_PATH | O_CLOEXEC));
    if (any) {
        const UniqueFd far(::fcntl(any.get(), F_DUPFD_CLOEXEC, highest));  // the table stays grown
    }
}

}  // namespace

Converter::Converter(const HeldSignals& signals, Report report)
    : signals_(signals),
      files_open_(files_open_at_once()),
      window_(window_for(threads_to_use(), files_open_)),
      files_(signals, file_systems_),
      buffers_(fastest_chunk, true),
      in_turn_(signals, std::move(report), batch_files(files_open_, window_)) {}

void Converter::convert(const char* path) {
    files_.convert(path, in_turn_, buffers_, folder_);
}

void Converter::convert_all(const char* const* paths, std::size_t count) {
    files_.name_all(paths, count);
    const std::size_t threads = window_ > 0 && count > 1 ? threads_to_use() : 1;
    if (threads > 1) {
        make_room_for(files_open_);
    }
    const std::size_t chunk = chunk_for(threads);
    buffers_ = ThreadBuffers(chunk, true);
    std::vector<AheadOfTurn> turns;
    for (std::size_t thread = 0; threads > 1 && thread < threads; ++thread) {
        turns.emplace_back(files_, file_systems_, chunk);
    }
    Pipeline pipeline(std::move(turns), window_, signals_);
    if (pipeline.threads() == 0) {
        convert_rest_in_turn(paths, 0, count);
        return;
    }
    convert_with(pipeline, paths, count);
}

// The threads convert ahead while this one holds the files in turn and commits the batch. A file
// that waits for its turn is converted alone once every file before it is held and every file
// after it given up, so that it may wait or put the batch in place as one file at a time would.
// Once a file lies where files are swapped in one at a time, the rest are converted on this thread.
void Converter::convert_with(Pipeline& pipeline, const char* const* paths, std::size_t count) {
    pipeline.start(paths, count, 0);
    for (std::size_t next = 0; next < count; ++next) {
        // Rather than wait, put in place what is flushed, or costs no flush to put in place.
        if (!pipeline.next_ready()) {
            while (in_turn_.catch_up() && !pipeline.next_ready()) {
            }
            if (in_turn_.free_to_commit()) {
                in_turn_.commit();
            }
        }
        if (signals_.pending() != 0 || !pipeline.wait_for_next()) {
            return hand_over_decided(pipeline, paths, next, count);
        }
        if (Ahead made = pipeline.take()) {
            if (made->verdict.outcome == Outcome::interrupted) {
                return;  // the run ends at this file
            }
            in_turn_.hand_over(paths[next], std::move(*made));
            continue;
        }
        pipeline.stop();
        if (file_systems_.one_at_a_time()) {  // from here on, as on one thread
            return convert_rest_in_turn(paths, next, count);
        }
        convert(paths[next]);
        pipeline.start(paths, count, next + 1);
    }
}

void Converter::convert_rest_in_turn(const char* const* paths, std::size_t next,
                                     std::size_t count) {
    for (; next < count && signals_.pending() == 0; ++next) {
        convert(paths[next]);
    }
}

// One file at a time would have reported each of these before the signal came, whenever it came:
// what the threads decided for the names next in order, and then what looking a name up decides,
// up to the first file that the signal cut short or that would need converting.
void Converter::hand_over_decided(Pipeline& pipeline, const char* const* paths, std::size_t next,
                                  std::size_t count) {
    for (Ahead& made : pipeline.stop()) {
        if (!made || made->verdict.outcome == Outcome::interrupted) {
            return;
        }
        in_turn_.hand_over(paths[next++], std::move(*made));
    }
    for (; next < count; ++next) {
        Target target;
        Verdict failure{Outcome::failed};
        if (locate(paths[next], target, failure)) {
            return;
        }
        in_turn_.hand_over(paths[next], {failure, nullptr});
    }
}

bool Converter::finish() {
    return in_turn_.finish();
}

}  // namespace tessaran
