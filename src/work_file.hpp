// The work file a conversion writes beside the file it converts.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/types.h>

#include "fd.hpp"

namespace tessaran {

// What the run makes of a file found where a leftover could be.
enum class Claim : std::uint8_t {
    none,    // nothing: a leftover, to be removed
    needed,  // the run still needs it where it is, until its batch is put in place
    named,   // it is named in the run: no leftover at all, and left alone
};
// Says what the run makes of the file `name` of `status`.
using InUse = std::function<Claim(const std::string& name, const struct stat& status)>;

// What ended runs left under fresh work names, folder by folder, so that however many files of a
// folder need a fresh name, the folder is listed once a run. Shared by every thread of a run.
class Leftovers {
  public:
    // Leaves in `names` the fresh names of `directory`, of `status`, that start with `prefix`,
    // listing the folder if it has not been listed yet: 0, or the error of the listing.
    int starting_with(int directory, const struct stat& status, const std::string& prefix,
                      std::vector<std::string>& names);
    // Notes that `name` in the folder of `status` is gone.
    void forget(const struct stat& status, const std::string& name);

  private:
    struct Folder {
        dev_t device;
        ino_t inode;
        std::vector<std::string> names;  // each a fresh work file's, left by an ended run
    };
    Folder* listed(int directory, const struct stat& status, int& error);

    std::mutex mutex_;  // guards `folders_`
    std::vector<Folder> folders_;
};

// Whether `name` may be a work file's, this run's or an ended run's: every such name starts with a
// dot and holds "_bak".
bool could_be_work_name(const std::string& name);

// The fresh work name of `target_name` that `random` starts the characters after its prefix with:
// what a run writes to when the usual work name is taken. `random` holds as many letters or digits
// as the name has room for, or is cut to that.
std::string fresh_work_name(const std::string& target_name, const std::string& random);

// The work file ".NAME_bak" beside NAME, removed again unless it has been renamed over NAME.
class WorkFile {
  public:
    WorkFile(int directory, const std::string& target_name)
        : directory_(directory), target_name_(target_name), name_("." + target_name + "_bak") {}
    WorkFile(const WorkFile&) = delete;
    WorkFile& operator=(const WorkFile&) = delete;
    ~WorkFile();

    // Creates the file afresh, mode 0600, and takes a write lease on it where the file system
    // grants one: 0, or the error of the call that failed. O_EXCL never follows a link planted
    // under the name. A leftover there, a regular file of this process's user or of `file_owner`
    // that an ended run left, is removed first, unless `in_use` says the run still needs it: then
    // EBUSY, and nothing is made. Any other entry (another user's file, a link, a directory), or
    // one this process may not remove, is left as it is, and the work file gets a fresh name that
    // no one can foresee instead; what ended runs left under such names, as `leftovers` knows
    // them, is removed as a leftover too.
    int create(uid_t file_owner, const InUse& in_use, Leftovers& leftovers);
    int fd() const { return fd_.get(); }
    const std::string& name() const { return name_; }
    // Whether a write lease stands on the file: while it does, no one else has it open.
    bool leased() const { return leased_; }
    // Whether someone else opened the file since it was made: a lease that no longer stands.
    bool opened_by_others() const;
    // The leftover removed to make room, if one was, and the links it had; 0 links otherwise.
    struct Removed {
        FileId file;
        nlink_t links = 0;
    };
    const Removed& removed_leftover() const { return removed_; }
    // Puts the work file in place of `target_name`; from then on it is no longer removed.
    bool rename_over(const std::string& target_name);
    // Swaps the work file with `target_name`, whose old file then stands under the work name, or
    // renames it over where the file system cannot swap. The work file stays locked as the file
    // until this is gone.
    bool swap_with(const std::string& target_name);
    // Removes the old file that a swap left under the work name.
    void remove_swapped_out();
    // Closes the file once it is in place: its lease, which only makes others wait now, goes too.
    void let_go();

  private:
    bool is_leftover(const std::string& name, uid_t file_owner, struct stat& entry) const;
    int remove_leftover(const std::string& name, uid_t file_owner, const InUse& in_use);
    int remove_fresh_leftovers(const std::string& prefix, uid_t file_owner, const InUse& in_use,
                               Leftovers& leftovers);
    int create_fresh(uid_t file_owner, const InUse& in_use, Leftovers& leftovers);
    int open_new();
    void release_lease();

    int directory_;
    std::string target_name_;
    std::string name_;
    UniqueFd fd_;
    Removed removed_;
    bool created_ = false;
    bool leased_ = false;
    bool placed_ = false;
    bool swapped_ = false;
};

}  // namespace tessaran
