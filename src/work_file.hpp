// The work file a conversion writes beside the file it converts.
#pragma once

#include <string>

#include <sys/types.h>

#include "fd.hpp"

namespace tessaran {

// The work file ".NAME_bak" beside NAME, removed again unless it has been renamed over NAME.
class WorkFile {
  public:
    WorkFile(int directory, const std::string& target_name)
        : directory_(directory), name_("." + target_name + "_bak") {}
    WorkFile(const WorkFile&) = delete;
    WorkFile& operator=(const WorkFile&) = delete;
    ~WorkFile();

    // Creates the file afresh, mode 0600: 0, or the error of the call that failed. O_EXCL never
    // follows a link planted under the name. A leftover there, a regular file of this process's
    // user or of `file_owner` that an ended run left, is removed first. Any other entry (another
    // user's file, a link, a directory), or one this process may not remove, is left as it is,
    // and the work file gets a fresh name that no one can foresee instead.
    int create(uid_t file_owner);
    int fd() const { return fd_.get(); }
    const std::string& name() const { return name_; }
    // Puts the work file in place of `target_name`; from then on it is no longer removed.
    bool rename_over(const std::string& target_name);

  private:
    bool is_leftover(uid_t file_owner) const;
    int create_fresh();

    int directory_;
    std::string name_;
    UniqueFd fd_;
    bool created_ = false;
    bool placed_ = false;
};

}  // namespace tessaran
