// Scratch directories, whole-file reads and writes, and running the built tool.
#include "test_util.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include <csignal>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testing_util {

ScratchDir::ScratchDir() {
    std::string pattern = std::filesystem::temp_directory_path() / "tessaran_test.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string read_file(const std::string& path, off_t offset) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(offset);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

std::vector<std::string> layout_files(const std::string& directory, int count,
                                      const std::string& content, int folders, off_t hole) {
    std::vector<std::string> paths;
    for (int i = 0; i < count; ++i) {
        const std::string folder =
            folders == 0 ? directory : directory + "/" + std::to_string(i % folders);
        ::mkdir(folder.c_str(), 0755);
        paths.push_back(folder + "/" + std::to_string(i) + ".xml");
        std::ofstream out(paths.back(), std::ios::binary);
        out.seekp(hole) << content;
    }
    return paths;
}

std::vector<std::string> list_dir(const std::string& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        names.push_back(entry.path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
}

pid_t start_tool(const std::vector<std::string>& arguments, const Launch& launch) {
    std::vector<char*> argv;
    for (const std::string& word : launch.wrapper) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(const_cast<char*>(launch.tool));
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        if (launch.output_fd >= 0) {
            ::dup2(launch.output_fd, STDOUT_FILENO);
        }
        if (launch.quiet) {
            ::dup2(::open("/dev/null", O_WRONLY), STDERR_FILENO);
        }
        const rlimit file_size{launch.file_size_limit, launch.file_size_limit};
        const rlimit address_space{launch.address_space_limit, launch.address_space_limit};
        const rlimit no_core{0, 0};  // signals that dump core are sent on purpose
        ::setrlimit(RLIMIT_CORE, &no_core);
        ::setrlimit(RLIMIT_FSIZE, &file_size);
        ::setrlimit(RLIMIT_AS, &address_space);
        // Each row starts from the signals' default actions, whatever the tests were started
        // with: a shell that runs them in the background has them ignore SIGINT and SIGQUIT.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int signal = 1; signal < NSIG; ++signal) {
            if (signal != SIGKILL && signal != SIGSTOP) {
                std::signal(signal, SIG_DFL);
            }
        }
        if (launch.ignored_signal != 0) {
            std::signal(launch.ignored_signal, SIG_IGN);
        }
        if (launch.blocked_signal != 0) {
            sigset_t blocked;
            sigemptyset(&blocked);
            sigaddset(&blocked, launch.blocked_signal);
            sigprocmask(SIG_BLOCK, &blocked, nullptr);
            ::raise(launch.blocked_signal);
        }
        if (launch.open_files_limit != RLIM_INFINITY) {
            const rlimit open_files{launch.open_files_limit, launch.open_files_limit};
            ::setrlimit(RLIMIT_NOFILE, &open_files);
        }
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    return child;
}

int wait_tool(pid_t child) {
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

RunResult run_tool(const std::vector<std::string>& arguments, Launch launch) {
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    launch.output_fd = pipe_fds[1];
    const pid_t child = start_tool(arguments, launch);
    ::close(pipe_fds[1]);
    RunResult result{"", -1};
    char buffer[4096];
    for (ssize_t count; (count = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0;) {
        result.output.append(buffer, static_cast<std::size_t>(count));
    }
    ::close(pipe_fds[0]);
    result.exit_status = wait_tool(child);
    return result;
}

void RowSkips::add(const std::string& why) {
    const char* ci = std::getenv("CI");
    if (ci != nullptr && std::string(ci) == "true") {
        ADD_FAILURE() << "a prerequisite is missing in CI: " << why;
        return;
    }
    reasons_ += (reasons_.empty() ? "" : "; ") + why;
}

// ctest shows a test's own output only when it fails, so the reason is also noted where the build's
// check target will show it.
void RowSkips::report() const {
    if (reasons_.empty()) {
        return;
    }
    if (const char* log = std::getenv("TESSARAN_SKIP_LOG")) {
        const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
        std::ofstream(log, std::ios::app)
            << test->test_suite_name() << "." << test->name() << ": " << reasons_ << "\n";
    }
    GTEST_SKIP() << "rows skipped: " << reasons_;
}

std::vector<int> ending_signals() {
    const std::vector<int> not_ending = {SIGKILL, SIGSTOP, SIGCHLD, SIGCONT,  SIGTSTP,
                                         SIGTTIN, SIGTTOU, SIGURG,  SIGWINCH, SIGXFSZ};
    std::vector<int> signals;
    for (int signal = 1; signal <= 64; ++signal) {
        const bool reserved = signal > SIGSYS && signal < SIGRTMIN;
        if (!reserved &&
            std::find(not_ending.begin(), not_ending.end(), signal) == not_ending.end()) {
            signals.push_back(signal);
        }
    }
    return signals;
}

bool is_fault_signal(int signal) {
    for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS}) {
        if (signal == fault) {
            return true;
        }
    }
    return false;
}

bool mount_image(const ScratchDir& dir, const std::string& directory, const std::string& mkfs) {
    const std::string image = dir / "image";
    write_file(image, "");
    return ::truncate(image.c_str(), off_t{300} << 20) == 0 &&
           std::system((mkfs + " " + image + " >/dev/null 2>&1").c_str()) == 0 &&
           std::system(("mount -o loop " + image + " " + directory + " 2>/dev/null").c_str()) == 0;
}

KernelSetting::KernelSetting(const std::string& path, const std::string& value)
    : path_(path), previous_(read_file(path)) {
    std::ofstream(path_) << value << "\n";
    held_ = read_file(path_) == value + "\n";
}

KernelSetting::~KernelSetting() {
    std::ofstream(path_) << previous_;
}

LoopMount::LoopMount(const std::string& at, const std::string& mkfs) : at_(at) {
    ::mkdir(at_.c_str(), 0755);
    mounted_ = mount_image(image_, at_, mkfs);
}

LoopMount::~LoopMount() {
    if (mounted_) {
        ::umount2(at_.c_str(), MNT_DETACH);
    }
}

const char* tool_for_any_user() {
    static const ScratchDir shared;
    static const bool copied = ::chmod(shared.path().c_str(), 0755) == 0 &&
                               std::filesystem::copy_file(TESSARAN_BINARY, shared / "tessaran");
    static const std::string tool = copied ? shared / "tessaran" : TESSARAN_BINARY;
    return tool.c_str();
}

bool exists(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

std::string large_layout(std::size_t size) {
    std::string layout;
    layout.reserve(size + 64);
    while (layout.size() < size) {
        layout += "\t<control>\n\t\t<rect>[1280,720,640,360]</rect>\n";
        layout += "\t\t<item_rect>[-3,20,0,719]</item_rect>\n\t</control>\n";
    }
    return layout;
}

}  // namespace testing_util
