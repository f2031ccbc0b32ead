// Scratch directories, whole-file reads and writes, and running the built tool.
#include "test_util.hpp"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <fcntl.h>
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

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

std::vector<std::string> list_dir(const std::string& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        names.push_back(entry.path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
}

pid_t start_tool(const std::vector<std::string>& arguments, int output_fd, rlim_t file_size_limit) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (output_fd >= 0) {
            ::dup2(output_fd, STDOUT_FILENO);
        }
        const rlimit limit{file_size_limit, file_size_limit};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        std::vector<char*> argv{const_cast<char*>(TESSARAN_BINARY)};
        for (const std::string& argument : arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        ::execv(TESSARAN_BINARY, argv.data());
        ::_exit(127);
    }
    return child;
}

int wait_tool(pid_t child) {
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

RunResult run_tool(const std::vector<std::string>& arguments, rlim_t file_size_limit) {
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const pid_t child = start_tool(arguments, pipe_fds[1], file_size_limit);
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
