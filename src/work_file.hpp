// The work file a conversion writes beside the file it converts.
#pragma once

#include <string>

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

    // Creates the file afresh, mode 0600. Whatever an ended run left under the name is removed
    // first; O_EXCL never follows a link planted there. When the name holds a file this process
    // may not remove, another user's in a sticky folder, the work file gets a fresh name that no
    // one can foresee instead. A directory under the name stays and fails this.
    bool create();
    int fd() const { return fd_.get(); }
    bool close() { return fd_.close(); }
    // Puts the work file in place of `target_name`; from then on it is no longer removed.
    bool rename_over(const std::string& target_name);

  private:
    bool create_fresh();

    int directory_;
    std::string name_;
    UniqueFd fd_;
    bool created_ = false;
    bool placed_ = false;
};

}  // namespace tessaran
