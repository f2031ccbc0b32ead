// Scratch directories, whole-file reads and writes, and running the built tool.
#pragma once

#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/types.h>

namespace testing_util {

// A small layout, and what one conversion makes of it.
inline const std::string layout_before = "<w>\n\t<rect>[1280,720,640,360]</rect>\n</w>\n";
inline const std::string layout_after = "<w>\n<rect>[1024,576,512,288]</rect>\n</w>\n";

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

// Starts the tool without waiting for it; its standard output goes to `output_fd` if given.
pid_t start_tool(const std::vector<std::string>& arguments, int output_fd = -1,
                 rlim_t file_size_limit = RLIM_INFINITY);
// Waits for a started tool: its exit status, or 128 + the signal that ended it.
int wait_tool(pid_t child);

// A layout of about `size` bytes, most of whose lines are rectangle lines.
std::string large_layout(std::size_t size);

}  // namespace testing_util
