// Every system call a conversion makes, made to fail in turn with the error a real failure of that
// call would bring: whatever fails, the file holds its whole old or its whole new content, the exit
// status and message say which, and no work file stays behind. Also, from a trace, that each
// directory renamed into is flushed once, after its last rename.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <sys/xattr.h>

#include "test_util.hpp"

using testing_util::exists;
using testing_util::read_file;
using testing_util::ScratchDir;
using testing_util::write_file;

namespace {

// The error each call fails with here. Calls that cannot fail once a process runs, or whose only
// failures are programming errors (a futex wake: the C library aborts on it), are not swept.
const std::map<std::string, std::string> realistic_errors = {
    {"access", "ENOENT"},
    {"brk", "ENOMEM"},
    {"clone", "EAGAIN"},
    {"clone3", "EAGAIN"},
    {"close", "EIO"},
    {"fchmod", "EPERM"},
    {"fchown", "EPERM"},
    {"fgetxattr", "EIO"},
    {"flistxattr", "EIO"},
    {"flock", "ENOLCK"},
    {"fremovexattr", "EPERM"},
    {"fsetxattr", "ENOSPC"},
    {"fstat", "EIO"},
    {"fsync", "EIO"},

    {"getrandom", "ENOSYS"},
    {"madvise", "EINVAL"},
    {"mmap", "ENOMEM"},
    {"mprotect", "ENOMEM"},
    {"munmap", "ENOMEM"},
    {"newfstatat", "EACCES"},
    {"openat", "EACCES"},
    {"pread64", "EIO"},
    {"prlimit64", "EPERM"},
    {"read", "EIO"},
    {"readlinkat", "EIO"},
    {"renameat", "EIO"},
    {"renameat2", "EIO"},
    {"rseq", "ENOSYS"},
    {"rt_sigaction", "EINVAL"},
    {"rt_sigpending", "EFAULT"},
    {"rt_sigprocmask", "EINVAL"},
    {"rt_sigtimedwait", "EAGAIN"},
    {"set_robust_list", "ENOSYS"},
    {"sync_file_range", "EIO"},
    {"unlinkat", "EIO"},
    {"write", "ENOSPC"},
};

// Calls that only the flushing of a directory, after the rename, may fail with the file converted.
const std::set<std::string> directory_flush_calls = {"fsync", "openat", "newfstatat", "fstat"};

// Calls whose every failure must leave the file as it was: each reads the file, writes the work
// file, carries an attribute over or puts the work file in place.
const std::set<std::string> must_keep_the_old_file = {
    "pread64", "write", "flistxattr", "fgetxattr", "fsetxattr", "fchmod", "renameat", "flock"};

const std::vector<std::string> strace = {"strace", "-f", "-qq", "-o"};

bool can_trace() {
    testing_util::Launch launch;
    launch.wrapper = {"strace", "-o", "/dev/null"};
    return testing_util::run_tool({}, launch).exit_status == 2;
}

testing_util::RunResult run_traced(const std::vector<std::string>& options,
                                   const std::vector<std::string>& arguments) {
    testing_util::Launch launch;
    launch.wrapper = strace;
    launch.quiet = true;
    launch.wrapper.insert(launch.wrapper.end(), options.begin(), options.end());
    return testing_util::run_tool(arguments, launch);
}

// How often each call is made by the thread that makes it most, from a trace of one conversion.
std::map<std::string, int> calls_made(const std::string& trace) {
    std::map<std::pair<std::string, std::string>, int> per_thread;
    std::ifstream in(trace);
    for (std::string thread, rest; in >> thread && std::getline(in, rest);) {
        rest.erase(0, rest.find_first_not_of(' '));
        const std::size_t paren = rest.find('(');
        if (paren != std::string::npos && rest.compare(0, 4, "<...") != 0) {
            ++per_thread[{thread, rest.substr(0, paren)}];
        }
    }
    std::map<std::string, int> most;
    for (const auto& [call, count] : per_thread) {
        most[call.second] = std::max(most[call.second], count);
    }
    return most;
}

TEST(Sweep, EveryFailingCallLeavesTheFileWholeAndSaysSo) {
#ifdef TESSARAN_SANITIZED
    GTEST_SKIP() << "a sanitizer's runtime makes calls of its own and ends the process when they "
                    "fail; the plain build sweeps";
#endif
    if (!can_trace()) {
        GTEST_SKIP() << "the tool cannot run under strace here";
    }
    // The large file is several chunks long, so that the second thread's calls fail too.
    for (const std::string& old_content :
         {testing_util::layout_before, testing_util::large_layout(2 * 1024 * 1024)}) {
        const ScratchDir dir;
        const std::string path = dir / "a.xml";
        // An attribute to carry over, so that reading and setting one fail in turn too.
        const auto write_old = [&] {
            write_file(path, old_content);
            ::setxattr(path.c_str(), "user.note", "kept", 4, 0);
        };
        write_old();
        ASSERT_EQ(run_traced({dir / "trace"}, {path}).exit_status, 0);
        const std::string new_content = read_file(path);
        int runs = 0;
        for (const auto& [call, count] : calls_made(dir / "trace")) {
            const auto error = realistic_errors.find(call);
            if (error == realistic_errors.end()) {
                continue;
            }
            for (int nth = 1; nth <= count; ++nth, ++runs) {
                const std::string fault = call + " #" + std::to_string(nth) + " " + error->second;
                write_old();
                const auto result = run_traced(
                    {"/dev/null", "-e",
                     "inject=" + call + ":error=" + error->second + ":when=" + std::to_string(nth)},
                    {path});
                const std::string after = read_file(path);
                ASSERT_TRUE(after == old_content || after == new_content) << fault;
                EXPECT_TRUE(after == old_content || !must_keep_the_old_file.count(call)) << fault;
                if (after == new_content) {
                    EXPECT_EQ(result.output, "") << fault;
                    EXPECT_TRUE(result.exit_status == 0 ||
                                (result.exit_status == 1 && directory_flush_calls.count(call)))
                        << fault << ": status " << result.exit_status;
                } else {
                    const bool reported = result.output == path + " tessaran fail!\n" ||
                                          result.output == path + " is can not open!\n" ||
                                          result.output == path + " is not exist!\n";
                    // Without a message only when the message itself could not be written, or the
                    // process could not start.
                    EXPECT_TRUE(reported || (result.output.empty() &&
                                             (call == "write" || result.exit_status >= 126)))
                        << fault << ": " << result.output << ", status " << result.exit_status;
                    EXPECT_NE(result.exit_status, 0) << fault;
                }
                EXPECT_TRUE(!exists(dir / ".a.xml_bak") || call == "unlinkat") << fault;
            }
        }
        std::cout << "failed " << runs << " calls in turn on a file of " << old_content.size()
                  << " bytes\n";
    }
}

TEST(Sweep, EachDirectoryIsFlushedOnceAfterItsLastRename) {
    if (!can_trace()) {
        GTEST_SKIP() << "the tool cannot run under strace here";
    }
    const ScratchDir dir;
    ::mkdir((dir / "one").c_str(), 0755);
    ::mkdir((dir / "two").c_str(), 0755);
    const std::vector<std::string> files = {dir / "one/a.xml", dir / "two/b.xml",
                                            dir / "one/c.xml"};
    for (const std::string& file : files) {
        write_file(file, testing_util::layout_before);
    }
    ASSERT_EQ(run_traced({dir / "trace", "-y", "-e", "trace=renameat,renameat2,fsync"}, files)
                  .exit_status,
              0);
    // Each line names the directory the call worked in, as "fd</path>".
    std::map<std::string, int> last_rename;
    std::map<std::string, std::vector<int>> flushes;
    std::ifstream in(dir / "trace");
    std::string line;
    for (int number = 0; std::getline(in, line); ++number) {
        const std::size_t open = line.find('<');
        const std::size_t close = line.find('>', open);
        const std::string path = line.substr(open + 1, close - open - 1);
        if (line.find("rename") != std::string::npos) {
            last_rename[path] = number;
        } else if (line.find("fsync") != std::string::npos) {
            flushes[path].push_back(number);
        }
    }
    ASSERT_EQ(last_rename.size(), 2u);
    for (const auto& [directory, renamed] : last_rename) {
        ASSERT_EQ(flushes[directory].size(), 1u) << directory;
        EXPECT_GT(flushes[directory].front(), renamed) << directory;
    }
}

}  // namespace
