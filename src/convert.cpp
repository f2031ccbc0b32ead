// Converting named layout files in place: find each, convert it into a work file beside it, and
// hand that to the batch, which makes it durable and renames it over the file.
#include "convert.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "attributes.hpp"
#include "chunks.hpp"
#include "fd.hpp"
#include "file_lock.hpp"
#include "pipeline.hpp"
#include "rescale.hpp"

namespace tessaran {
namespace {

// Stops the scan at the first change, and counts the whole lines before it: they need neither a
// second scan nor a change.
class ChangeProbe final : public RescaleSink {
  public:
    bool pass(std::string_view unchanged) override {
        const void* feed = ::memrchr(unchanged.data(), '\n', unchanged.size());
        if (feed != nullptr) {
            unchanged_prefix = passed_ + (static_cast<const char*>(feed) - unchanged.data()) + 1;
        }
        passed_ += static_cast<off_t>(unchanged.size());
        return true;
    }
    bool replace(std::string_view) override {
        changed = true;
        return false;
    }
    bool pass_zeros(off_t count) override {  // a hole holds no line feed
        passed_ += count;
        return true;
    }

    bool changed = false;
    off_t unchanged_prefix = 0;

  private:
    off_t passed_ = 0;
};

// Descriptors kept for the standard streams, a caller's leftovers and the files being looked up.
constexpr rlim_t spare_descriptors = 32;
// A held file takes three (the file, its work file, its directory); a noted directory one. A file
// converted ahead takes three as well.
constexpr rlim_t descriptors_per_file = 4;
// Files held in a batch at once, at most, and as many again converted ahead.
constexpr std::size_t most_files_at_once = 512;
// Threads converting ahead, at most.
constexpr int most_threads = 8;
// On several threads, the buffers of every worker of a run share this much, so that its memory is
// the same whatever number of CPUs it may use: about what one thread's two workers take alone.
constexpr std::size_t shared_budget = std::size_t{1} << 20;
// A chunk no smaller than this: below it, the calls for each chunk cost more than its conversion.
constexpr std::size_t smallest_chunk = std::size_t{32} * 1024;
constexpr std::size_t page = 4096;
// Files up to this size are converted in one pass.
constexpr off_t small_file = off_t{64} * 1024;

// How many files may be open at once within the open-file limit: held in the batch (with their
// directories noted) or converted ahead.
std::size_t files_open_at_once() {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return 2 * most_files_at_once;
    }
    const rlim_t room = limit.rlim_cur > spare_descriptors ? limit.rlim_cur - spare_descriptors : 0;
    return std::clamp<std::size_t>(room / descriptors_per_file, 1, 2 * most_files_at_once);
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

// How many files may be converted ahead: none on one thread; else half of the files that may be
// open, the other half held by the batch.
std::size_t window_for(std::size_t threads) {
    const std::size_t files = files_open_at_once();
    return threads > 1 && files >= 4 ? files - std::min(files / 2, most_files_at_once) : 0;
}

// The chunk size of every worker of a run on `threads` threads: one worker for each thread that
// converts ahead, and two for the first thread, within the budget they share.
std::size_t chunk_for(std::size_t threads) {
    if (threads <= 1) {
        return fastest_chunk;
    }
    const std::size_t workers = threads + 2;
    std::size_t chunk = fastest_chunk;
    while (chunk > smallest_chunk && workers * Worker::memory_for(chunk) > shared_budget) {
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

// Whether `verdict` is a failure that holding fewer files may cure, by the error of the call that
// failed: the space that the old files of a batch still take up, or the descriptors it holds.
bool short_of_room(const Verdict& verdict) {
    const bool failed = verdict.outcome == Outcome::failed || verdict.outcome == Outcome::missing ||
                        verdict.outcome == Outcome::not_openable;
    return failed && (verdict.error == ENOSPC || verdict.error == EDQUOT ||
                      verdict.error == EMFILE || verdict.error == ENFILE);
}

// Whether the file `fd`, of `status`, has holes: fewer blocks than its size needs, and a hole
// before its end. Most files have none, and are spared the second question.
bool has_holes(int fd, const struct stat& status) {
    constexpr off_t block = 512;  // the unit of st_blocks
    return status.st_blocks < (status.st_size + block - 1) / block &&
           ::lseek(fd, 0, SEEK_HOLE) < status.st_size;
}

}  // namespace

// A thread converting ahead has one worker; the first thread, converting in turn, has a second for
// the helper thread that converts every other chunk of a large file.
struct Converter::Buffers {
    Buffers(const HeldSignals& signals, std::size_t chunk, bool in_turn)
        : first(signals, chunk),
          second(in_turn ? std::make_unique<Worker>(signals, chunk) : nullptr) {}
    Worker first;
    std::unique_ptr<Worker> second;
    // The durability of the file system a work file was last made on, by that file system.
    dev_t last_device = 0;
    Durability last_durability = Durability::on_its_own;
};

Converter::Converter(const HeldSignals& signals, Report report)
    : signals_(signals),
      window_(window_for(threads_to_use())),
      chunk_(fastest_chunk),
      batch_(signals, std::move(report),
             std::min(files_open_at_once() - window_, most_files_at_once)) {}

Converter::~Converter() = default;

// A file that runs short of room is tried once more with nothing held, once the room of what was
// let go of has come back: one at a time, it would have had that room. A file system may give
// back the room of files removed or replaced only once it commits them (btrfs does), so it is
// flushed first.
void Converter::convert(const char* path) {
    const Lane lane{buffers_, false, chunk_};
    std::unique_ptr<HeldFile> made;
    Verdict verdict = attempt(path, lane, made);
    if (short_of_room(verdict)) {
        batch_.commit();
        Target target;
        if (locate(path, target, verdict)) {
            flush_file_system(target.directory.get());
        }
        verdict = attempt(path, lane, made);
    }
    take(path, verdict, std::move(made));
}

void Converter::take(const char* path, const Verdict& verdict, std::unique_ptr<HeldFile> file) {
    if (verdict.outcome == Outcome::converted) {
        batch_.hold(path, std::move(file));
    } else {
        batch_.settle(path, verdict.outcome);
    }
    if (signals_.pending() != 0 || batch_.full()) {
        batch_.commit();
    }
}

void Converter::convert_all(const char* const* paths, std::size_t count) {
    named_ = paths;
    named_count_ = count;
    const std::size_t threads = window_ > 0 && count > 1 ? threads_to_use() : 1;
    if (threads > 1) {
        make_room_for(files_open_at_once());
    }
    chunk_ = chunk_for(threads);
    // The threads are joined, in the pipeline's end, before their buffers go.
    std::vector<std::unique_ptr<Buffers>> lanes(threads);
    Pipeline pipeline(
        threads > 1 ? threads : 0, window_, signals_,
        [this, &lanes](std::size_t thread, const char* path) {
            Ahead made;
            made.verdict = attempt(path, Lane{lanes[thread], true, chunk_}, made.file);
            if (short_of_room(made.verdict)) {  // alone, it may have room
                made = {};
            }
            return made;
        });
    if (pipeline.threads() == 0) {
        for (std::size_t next = 0; next < count && signals_.pending() == 0; ++next) {
            convert(paths[next]);
        }
        return;
    }
    convert_ahead(pipeline, paths, count);
}

// The threads convert ahead while this one holds the files in turn and commits the batch. A file
// deferred to its turn is converted alone once every file before it is held and every file after
// it given up, so that it may wait or put the batch in place as one file at a time would. Once a
// file lies where files are swapped in one at a time, the rest are converted on this thread.
void Converter::convert_ahead(Pipeline& pipeline, const char* const* paths, std::size_t count) {
    pipeline.start(paths, count, 0);
    for (std::size_t next = 0; next < count; ++next) {
        // Rather than wait, put in place what costs no flush to put in place.
        if (batch_.free_to_commit() && !pipeline.next_ready()) {
            batch_.commit();
        }
        std::optional<Ahead> made =
            signals_.pending() == 0 ? pipeline.take() : std::optional<Ahead>();
        if (!made) {
            return settle_decided(pipeline, paths, next, count);
        }
        if (made->verdict.outcome == Outcome::interrupted) {
            return;  // the run ends at this file
        }
        if (made->verdict.outcome != Outcome::deferred) {
            take(paths[next], made->verdict, std::move(made->file));
            continue;
        }
        pipeline.stop();
        if (one_at_a_time_) {  // from here on, as on one thread
            for (; next < count && signals_.pending() == 0; ++next) {
                convert(paths[next]);
            }
            return;
        }
        convert(paths[next]);
        pipeline.start(paths, count, next + 1);
    }
}

// One file at a time would have reported each of these before the signal came, whenever it came:
// what the threads decided for the names next in order, and then what looking a name up decides,
// up to the first file that the signal cut short or that would need converting.
void Converter::settle_decided(Pipeline& pipeline, const char* const* paths, std::size_t next,
                               std::size_t count) {
    for (Ahead& made : pipeline.stop()) {
        if (made.verdict.outcome == Outcome::interrupted ||
            made.verdict.outcome == Outcome::deferred) {
            return;
        }
        take(paths[next++], made.verdict, std::move(made.file));
    }
    for (; next < count; ++next) {
        Target target;
        Verdict failure{Outcome::failed};
        if (locate(paths[next], target, failure)) {
            return;
        }
        take(paths[next], failure, nullptr);
    }
}

bool Converter::finish() {
    return batch_.finish();
}

// Converts `path`, again from the start whenever its name has moved to another file while this
// run waited for it. Memory that runs out fails the one file: what was made for it goes with the
// unwinding.
Verdict Converter::attempt(const char* path, const Lane& lane, std::unique_ptr<HeldFile>& made) {
    try {
        if (!lane.buffers) {
            lane.buffers = std::make_unique<Buffers>(signals_, lane.chunk, !lane.ahead);
        }
        for (;;) {
            bool name_moved = false;
            const Verdict verdict = convert_once(path, lane, made, name_moved);
            if (!name_moved) {
                return verdict;
            }
        }
    } catch (const std::bad_alloc&) {
        return {Outcome::failed, ENOMEM};
    }
}

// Converts the file that `path` names, unless, by the time no other run holds it, the name has
// been given to another file; then says so in `name_moved`.
Verdict Converter::convert_once(const char* path, const Lane& lane, std::unique_ptr<HeldFile>& made,
                                bool& name_moved) {
    Target target;
    Verdict failure{Outcome::failed};
    if (!locate(path, target, failure)) {
        return failure;
    }
    // Ahead, any name a work file may have waits for its turn: one of the files before it may be
    // making that very work file.
    if (lane.ahead && (could_be_work_name(target.name) || swapped_in_one_at_a_time(target, lane))) {
        return {Outcome::deferred};
    }
    // One file at a time, the work file that this name names would be in place already: put it
    // there, and look again.
    if (!lane.ahead && batch_.holds_work_name(target.name)) {
        batch_.commit();
        name_moved = true;
        return failure;
    }
    constexpr int input_flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    UniqueFd input(::openat(target.directory.get(), target.name.c_str(), input_flags));
    if (!input && errno == EWOULDBLOCK) {  // leased: waited for as a lock is, with nothing held
        if (lane.ahead) {
            return {Outcome::deferred};
        }
        batch_.commit();
        if (open_when_unleased(target.directory.get(), target.name.c_str(), input_flags, input,
                               signals_) == LockResult::interrupted) {
            return {Outcome::interrupted};
        }
    }
    if (!input) {
        return lookup_failure();
    }
    if (!lock(input.get(), lane, failure)) {
        return failure;
    }
    struct stat status {};
    struct stat named {};
    if (::fstat(input.get(), &status) != 0) {
        return {Outcome::failed, errno};
    }
    if (!S_ISREG(status.st_mode)) {  // swapped for another kind since it was found
        return {Outcome::not_openable};
    }
    name_moved =
        ::fstatat(target.directory.get(), target.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        named.st_dev != status.st_dev || named.st_ino != status.st_ino;
    return name_moved ? failure : convert_locked(target, input, status, lane, made);
}

// Where files are swapped in one at a time, no work file may be made ahead: without a journal, a
// folder that grows by many entries at once may be lost to a power cut whole. Asked before the
// file is even opened, so that nothing of it is held when it is converted in its turn.
bool Converter::swapped_in_one_at_a_time(const Target& target, const Lane& lane) {
    struct stat folder {};
    if (::fstat(target.directory.get(), &folder) != 0 ||
        durability_on(folder.st_dev, target.directory.get(), *lane.buffers) !=
            Durability::swapped_in) {
        return false;
    }
    one_at_a_time_ = true;
    return true;
}

// A run never waits while it holds locks, since another run may be waiting for one of them: when
// the lock is busy, the batch is put in place first.
bool Converter::lock(int input, const Lane& lane, Verdict& failure) {
    if (::flock(input, LOCK_EX | LOCK_NB) == 0) {
        return true;
    }
    if (errno != EWOULDBLOCK || lane.ahead) {
        failure = {errno != EWOULDBLOCK ? Outcome::failed : Outcome::deferred, errno};
        return false;
    }
    batch_.commit();
    switch (lock_exclusively(input, signals_)) {
        case LockResult::locked:
            return true;
        case LockResult::interrupted:
            failure = {Outcome::interrupted};
            return false;
        case LockResult::failed:
            failure = {Outcome::failed, errno};
            return false;
    }
    return false;
}

Verdict Converter::convert_locked(Target& target, UniqueFd& input, const struct stat& status,
                                  const Lane& lane, std::unique_ptr<HeldFile>& made) {
    // However long this file takes to read, the files before it need not wait for it.
    if (Batch::too_large_to_wait_for(status.st_size)) {
        if (lane.ahead) {
            return {Outcome::deferred};
        }
        batch_.commit();
    }
    Buffers& buffers = *lane.buffers;
    const bool holes = has_holes(input.get(), status);
    buffers.first.rescaler.expect_holes(holes);
    if (buffers.second) {
        buffers.second->rescaler.expect_holes(holes);
    }
    // Look before writing: a file with nothing to convert keeps its inode and times.
    ChangeProbe probe;
    if (buffers.first.rescaler.run(input.get(), 0, probe, status.st_size) == ScanEnd::read_failed) {
        return {signals_.pending() != 0 ? Outcome::interrupted : Outcome::failed, EIO};
    }
    if (!probe.changed) {
        return {Outcome::unchanged};
    }
    // A small file is read and written in one piece: its unchanged start costs less to scan again
    // than to copy apart.
    const off_t copied_apart = status.st_size > small_file ? probe.unchanged_prefix : 0;
    return replace(target, input, status, copied_apart, holes, lane, made);
}

Verdict Converter::replace(Target& target, UniqueFd& input, const struct stat& status,
                           off_t unchanged_prefix, bool holes, const Lane& lane,
                           std::unique_ptr<HeldFile>& made) {
    auto file = std::make_unique<HeldFile>(std::move(target), std::move(input), status);
    if (::fstat(file->target.directory.get(), &file->folder) != 0) {
        return {Outcome::failed, errno};
    }
    Buffers& buffers = *lane.buffers;
    first_writes_.before_writing(file->target.directory.get(), file->folder.st_dev);
    if (const int error = create_work_file(*file, lane)) {
        return {lane.ahead && error == EBUSY ? Outcome::deferred : Outcome::failed, error};
    }
    const int work = file->work.fd();
    const int write_error =
        convert_in_chunks(buffers.first, buffers.second.get(), file->input.get(), unchanged_prefix,
                          status.st_size, work, holes, signals_);
    if (signals_.pending() != 0) {
        return {Outcome::interrupted};
    }
    if (write_error != 0) {
        return {Outcome::failed, write_error};
    }
    if (::fstat(work, &file->written) != 0) {
        return {Outcome::failed, errno};
    }
    if (const int error = copy_attributes(file->input.get(), status, work, file->work.leased())) {
        return {Outcome::failed, error};
    }
    // Someone opened the work file while it was given its owner: it fails now rather than at its
    // turn, so that what it was given goes while the lease still holds the opener back.
    if (file->work.opened_by_others()) {
        return {Outcome::failed, EBUSY};
    }
    file->durability = durability_on(file->written.st_dev, work, buffers);
    if ((file->durability == Durability::on_its_own ||
         file->durability == Durability::swapped_in) &&
        ::fsync(work) != 0) {
        return {Outcome::failed, errno};
    }
    made = std::move(file);
    return {Outcome::converted};
}

// A leftover under the work name that the batch holds, as a file to convert or as another's work
// file, would be in place already one file at a time: the batch is put in place first, and the
// leftover then removed as one file at a time would. A leftover that is a link to this very file
// moves only its change time and link count, which are then taken as they now stand. Ahead, any
// leftover may be a file before it in the list, so none is removed until the file's turn: EBUSY.
int Converter::create_work_file(HeldFile& file, const Lane& lane) {
    // What lies under the usual work name is this file's leftover, as one file at a time would
    // find it, even when named later; a file under a fresh name is never taken for one if named.
    const auto held = [this, &lane, &file](const std::string& name, const struct stat& entry) {
        if (lane.ahead || batch_.holds_inode(entry.st_dev, entry.st_ino)) {
            return Claim::needed;
        }
        return name != "." + file.target.name + "_bak" && named_in_run(name, entry) ? Claim::named
                                                                                    : Claim::none;
    };
    int error = file.work.create(file.start.st_uid, held, leftovers_);
    if (error == EBUSY && !lane.ahead && !batch_.empty()) {
        batch_.commit();
        error = file.work.create(file.start.st_uid, held, leftovers_);
    }
    const struct stat& removed = file.work.removed_leftover();
    struct stat now {};
    if (error == 0 && removed.st_nlink != 0 && removed.st_dev == file.start.st_dev &&
        removed.st_ino == file.start.st_ino) {
        if (::fstat(file.input.get(), &now) != 0) {
            return errno;
        }
        if (now.st_size == file.start.st_size && now.st_mtim.tv_sec == file.start.st_mtim.tv_sec &&
            now.st_mtim.tv_nsec == file.start.st_mtim.tv_nsec) {
            file.start.st_ctim = now.st_ctim;
            file.start.st_nlink = now.st_nlink;
        }
    }
    return error;
}

// A file named in the run is never taken for a leftover, whatever its name: looked for by its last
// component, so this costs a pass over the names only when a leftover is found.
bool Converter::named_in_run(const std::string& name, const struct stat& entry) const {
    struct stat named {};
    for (std::size_t i = 0; i < named_count_; ++i) {
        const char* slash = std::strrchr(named_[i], '/');
        if (name == (slash != nullptr ? slash + 1 : named_[i]) && ::stat(named_[i], &named) == 0 &&
            named.st_dev == entry.st_dev && named.st_ino == entry.st_ino) {
            return true;
        }
    }
    return false;
}

// Asked of the work file, not the file it replaces: a file bind-mounted from another file system
// has its work file on its directory's.
Durability Converter::durability_on(dev_t device, int work, Buffers& buffers) {
    if (device != buffers.last_device) {
        buffers.last_device = device;
        buffers.last_durability = durability_of(work, device);
    }
    return buffers.last_durability;
}

}  // namespace tessaran
