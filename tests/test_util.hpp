// Scratch directories, whole-file reads and writes, and running the built tool.
#pragma once

#include <string>
#include <vector>

#include <sys/resource.h>

namespace testing_util {

// A fresh directory that is removed with everything in it.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
// The names in `directory`, sorted, "." and ".." left out.
std::vector<std::string> list_dir(const std::string& directory);

struct RunResult {
    std::string output;  // standard output
    int exit_status;     // or 128 + signal
};

// Runs the tool with `arguments`, no shell involved, optionally under a file-size limit.
RunResult run_tool(const std::vector<std::string>& arguments,
                   rlim_t file_size_limit = RLIM_INFINITY);

}  // namespace testing_util
