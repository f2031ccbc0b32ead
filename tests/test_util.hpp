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

// The content of `path` from `offset` on.
std::string read_file(const std::string& path, off_t offset = 0);
void write_file(const std::string& path, const std::string& content);
// The names in `directory`, sorted, "." and ".." left out.
std::vector<std::string> list_dir(const std::string& directory);

struct RunResult {
    std::string output;  // standard output
    int exit_status;     // or 128 + signal
};

// How the tool is started.
struct Launch {
    int output_fd = -1;  // its standard output, if given
    rlim_t file_size_limit = RLIM_INFINITY;
    rlim_t address_space_limit = RLIM_INFINITY;
    int ignored_signal = 0;  // set to be ignored before the tool starts, if given
    int blocked_signal = 0;  // blocked, and sent so that it is pending, before it starts
    rlim_t open_files_limit = RLIM_INFINITY;
    bool quiet = false;  // standard error goes nowhere
    // A command that runs the tool, such as setpriv and its options.
    std::vector<std::string> wrapper;
    const char* tool = TESSARAN_BINARY;  // the tool's binary
};

// Runs the tool with `arguments`, no shell involved.
RunResult run_tool(const std::vector<std::string>& arguments, Launch launch = {});

// Starts the tool without waiting for it.
pid_t start_tool(const std::vector<std::string>& arguments, const Launch& launch = {});
// Waits for a started tool: its exit status, or 128 + the signal that ended it.
int wait_tool(pid_t child);

// Writes `count` files holding `content` into `directory`, as 0.xml, 1.xml, ..., taking turns
// among `folders` folders 0/, 1/, ... inside it when given, and behind a hole of `hole` bytes;
// their paths, in order.
std::vector<std::string> layout_files(const std::string& directory, int count,
                                      const std::string& content, int folders = 0, off_t hole = 0);

// Rows whose prerequisite this machine lacks (mounting, another user, a tracer, a file system's
// tools). In CI (CI=true) each fails the test: there every row must run. Elsewhere the row is
// skipped, and `report`, called once the other rows have run, marks the test skipped for ctest.
class RowSkips {
  public:
    void add(const std::string& why);
    void report() const;

  private:
    std::string reasons_;
};

// Every signal from 1 to 64 whose default action ends a process and that a program may catch:
// not SIGKILL or SIGSTOP, not those the C library keeps for itself, and not SIGXFSZ, which the tool
// ignores so that a file-size limit fails a write instead.
std::vector<int> ending_signals();
// Whether `signal` is one a fault raises, which ends the process at once by design.
bool is_fault_signal(int signal);

// Makes `directory` a fresh file system of its own, made by `mkfs` (a command and its options) on
// an image in `dir`, through a loop device; false where that cannot be done.
bool mount_image(const ScratchDir& dir, const std::string& directory, const std::string& mkfs);

// Sets the kernel setting `path` (under /proc/sys) to `value` for one scope, and puts it back;
// `held()` says whether it took.
class KernelSetting {
  public:
    KernelSetting(const std::string& path, const std::string& value);
    ~KernelSetting();
    KernelSetting(const KernelSetting&) = delete;
    KernelSetting& operator=(const KernelSetting&) = delete;
    bool held() const { return held_; }

  private:
    std::string path_;
    std::string previous_;
    bool held_;
};

// The two kinds of ext4 the tool treats apart.
inline const std::string ext4_with_journal = "mkfs.ext4 -q -F";
inline const std::string ext4_without_journal = "mkfs.ext4 -q -F -O ^has_journal";

// A fresh file system made by `mkfs` mounted at `at`, made if missing, for one scope; its image
// lies in a scratch folder of its own. `mounted()` is false where that cannot be done.
class LoopMount {
  public:
    LoopMount(const std::string& at, const std::string& mkfs);
    ~LoopMount();
    LoopMount(const LoopMount&) = delete;
    LoopMount& operator=(const LoopMount&) = delete;
    bool mounted() const { return mounted_; }
    const std::string& path() const { return at_; }
    std::string operator/(const std::string& name) const { return at_ + "/" + name; }

  private:
    ScratchDir image_;
    std::string at_;
    bool mounted_;
};

// A copy of the tool that any user may run, wherever the build folder lies.
const char* tool_for_any_user();

// Whether the file or link `path` exists.
bool exists(const std::string& path);

// A layout of about `size` bytes, most of whose lines are rectangle lines.
std::string large_layout(std::size_t size);

}  // namespace testing_util
