// Faults, kills and signals: whatever happens, a file holds its whole old or its whole new
// content, no work file stays behind, and the next file on the command line is still converted.
#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <string>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "test_util.hpp"

using testing_util::layout_after;
using testing_util::layout_before;
using testing_util::read_file;
using testing_util::run_tool;
using testing_util::ScratchDir;
using testing_util::write_file;

namespace {

bool exists(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

// The tool's own result for `content`, from a run on a scratch copy.
std::string converted(const std::string& content) {
    const ScratchDir dir;
    write_file(dir / "a.xml", content);
    EXPECT_EQ(run_tool({dir / "a.xml"}).exit_status, 0);
    return read_file(dir / "a.xml");
}

struct Fault {
    const char* name;
    // Lays the fault on `dir`; returns the file that must fail, or "" when the fault cannot be
    // made here.
    std::function<std::string(const ScratchDir& dir, const std::string& content)> prepare;
    rlim_t file_size_limit;
};

const Fault faults[] = {
    {"disk full",
     [](const ScratchDir& dir, const std::string& content) {
         ::mkdir((dir / "disk").c_str(), 0755);
         if (::mount("tessaran", (dir / "disk").c_str(), "tmpfs", 0, "size=3m") != 0) {
             return std::string();
         }
         write_file(dir / "disk/a.xml", content);
         return dir / "disk/a.xml";
     },
     RLIM_INFINITY},
    {"file-size limit",
     [](const ScratchDir& dir, const std::string& content) {
         write_file(dir / "a.xml", content);
         return dir / "a.xml";
     },
     1024 * 1024},
    {"rename onto a mount point",
     [](const ScratchDir& dir, const std::string& content) {
         write_file(dir / "a.xml", content);
         const std::string path = dir / "a.xml";
         return ::mount(path.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) == 0 ? path
                                                                                    : std::string();
     },
     RLIM_INFINITY},
    {"directory holding the work file's name",
     [](const ScratchDir& dir, const std::string& content) {
         write_file(dir / "a.xml", content);
         ::mkdir((dir / ".a.xml_bak").c_str(), 0755);
         return dir / "a.xml";
     },
     RLIM_INFINITY},
};

TEST(Faults, KeepTheFileAndGoOnWithTheNext) {
    // Several output buffers long, so that the writes that fail are made by the second thread.
    const std::string content = testing_util::large_layout(2 * 1024 * 1024);
    for (const Fault& fault : faults) {
        const ScratchDir dir;
        const std::string failing = fault.prepare(dir, content);
        if (failing.empty()) {
            std::cout << "skipped, not permitted here: " << fault.name << "\n";
            continue;
        }
        write_file(dir / "good.xml", layout_before);
        const auto result = run_tool({failing, dir / "good.xml"}, fault.file_size_limit);
        EXPECT_EQ(result.output, failing + " tessaran fail!\n") << fault.name;
        EXPECT_EQ(result.exit_status, 1) << fault.name;
        EXPECT_EQ(read_file(failing), content) << fault.name;
        EXPECT_EQ(read_file(dir / "good.xml"), layout_after) << fault.name;
        const std::string work = failing.substr(0, failing.rfind('/') + 1) + ".a.xml_bak";
        struct stat status {};
        EXPECT_TRUE(::lstat(work.c_str(), &status) != 0 || S_ISDIR(status.st_mode)) << fault.name;
        ::umount2(failing.c_str(), MNT_DETACH);
        ::umount2((dir / "disk").c_str(), MNT_DETACH);
    }
}

TEST(Faults, KilledAtAnyMomentLeavesOldOrNewWhole) {
    const std::string old_content = testing_util::large_layout(8 * 1024 * 1024);
    const std::string new_content = converted(old_content);
    const std::string newer_content = converted(new_content);
    const ScratchDir dir;
    const std::string path = dir / "a.xml";
    for (int round = 0; round < 24; ++round) {
        write_file(path, old_content);
        const pid_t tool = testing_util::start_tool({path});
        ::usleep(static_cast<useconds_t>(round * 1500));
        ::kill(tool, SIGKILL);
        testing_util::wait_tool(tool);
        const std::string after_kill = read_file(path);
        ASSERT_TRUE(after_kill == old_content || after_kill == new_content) << "round " << round;
        EXPECT_EQ(run_tool({path}).exit_status, 0);
        EXPECT_EQ(read_file(path), after_kill == old_content ? new_content : newer_content);
        EXPECT_FALSE(exists(dir / ".a.xml_bak")) << "round " << round;
    }
}

TEST(Faults, InterruptRemovesTheWorkFileAndDiesOfTheSignal) {
    const std::string old_content = testing_util::large_layout(32 * 1024 * 1024);
    const std::string new_content = converted(old_content);
    const ScratchDir dir;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        write_file(dir / "a.xml", old_content);
        const pid_t tool = testing_util::start_tool({dir / "a.xml"});
        // Wait for the work file, so that the signal arrives mid-conversion.
        for (int wait = 0; wait < 100000 && !exists(dir / ".a.xml_bak"); ++wait) {
            ::usleep(50);
        }
        ::kill(tool, signal);
        EXPECT_EQ(testing_util::wait_tool(tool), 128 + signal) << strsignal(signal);
        EXPECT_FALSE(exists(dir / ".a.xml_bak")) << strsignal(signal);
        const std::string after = read_file(dir / "a.xml");
        EXPECT_TRUE(after == old_content || after == new_content) << strsignal(signal);
    }
}

}  // namespace
