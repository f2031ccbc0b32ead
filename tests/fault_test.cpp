// Faults, kills and signals: whatever happens, a file holds its whole old or its whole new
// content, no work file stays behind, and the next file on the command line is still converted.
#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "chunks.hpp"
#include "fd.hpp"
#include "pipeline.hpp"
#include "test_util.hpp"

using testing_util::exists;
using testing_util::layout_after;
using testing_util::layout_before;
using testing_util::read_file;
using testing_util::run_tool;
using testing_util::ScratchDir;
using testing_util::write_file;

namespace {

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
    {"read-only folder",
     [](const ScratchDir& dir, const std::string& content) {
         const std::string folder = dir / "ro";
         ::mkdir(folder.c_str(), 0755);
         write_file(folder + "/a.xml", content);
         const bool read_only =
             ::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
             ::mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) ==
                 0;
         return read_only ? folder + "/a.xml" : std::string();
     },
     RLIM_INFINITY},
};

TEST(Faults, KeepTheFileAndGoOnWithTheNext) {
    // Several chunks long, so that both threads make writes that fail.
    const std::string content = testing_util::large_layout(2 * 1024 * 1024);
    testing_util::RowSkips skips;
    for (const Fault& fault : faults) {
        const ScratchDir dir;
        const std::string failing = fault.prepare(dir, content);
        if (failing.empty()) {
            skips.add(std::string("not permitted here: ") + fault.name);
            continue;
        }
        write_file(dir / "good.xml", layout_before);
        testing_util::Launch limited;
        limited.file_size_limit = fault.file_size_limit;
        const auto result = run_tool({failing, dir / "good.xml"}, limited);
        EXPECT_EQ(result.output, failing + " tessaran fail!\n") << fault.name;
        EXPECT_EQ(result.exit_status, 1) << fault.name;
        EXPECT_EQ(read_file(failing), content) << fault.name;
        EXPECT_EQ(read_file(dir / "good.xml"), layout_after) << fault.name;
        const std::string work = failing.substr(0, failing.rfind('/') + 1) + ".a.xml_bak";
        struct stat status {};
        EXPECT_TRUE(::lstat(work.c_str(), &status) != 0 || S_ISDIR(status.st_mode)) << fault.name;
        ::umount2(failing.c_str(), MNT_DETACH);
        ::umount2((dir / "disk").c_str(), MNT_DETACH);
        ::umount2((dir / "ro").c_str(), MNT_DETACH);
    }
    skips.report();
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

// Waits until `path` exists, so that a run is known to be converting.
void wait_for(const std::string& path) {
    for (int wait = 0; wait < 100000 && !exists(path); ++wait) {
        ::usleep(50);
    }
}

// The thread of `process` named `name`, as soon as there is one; 0 if none comes. A sanitizer's
// runtime may run threads of its own besides.
pid_t thread_named(pid_t process, const std::string& name) {
    const std::string tasks = "/proc/" + std::to_string(process) + "/task/";
    for (int wait = 0; wait < 100000; ++wait) {
        for (const std::string& task : testing_util::list_dir(tasks)) {
            if (read_file(tasks + task + "/comm") == name + "\n") {
                return std::stoi(task);
            }
        }
        ::usleep(20);
    }
    return 0;
}

TEST(Faults, InterruptRemovesTheWorkFileAndDiesOfTheSignal) {
    const std::string old_content = testing_util::large_layout(32 * 1024 * 1024);
    const std::string new_content = converted(old_content);
    const ScratchDir dir;
    // The rows sent to a thread converting ahead run on an ext4 with a journal, where files are
    // converted ahead; on a disk without one they are taken one at a time.
    const testing_util::LoopMount journaled(dir / "disk", testing_util::ext4_with_journal);
    const std::string ahead_folder = journaled / "rows";
    ::mkdir(ahead_folder.c_str(), 0755);
    testing_util::RowSkips skips;
    if (!journaled.mounted()) {
        skips.add("cannot mount an ext4 with a journal here");
    }
    struct Row {
        int signal;
        bool ignored;     // by the caller, as nohup or trap '' do: it must stay ignored
        int small_files;  // the run's files after a.xml; sent once the first is converted
        bool endless;     // a.xml a long scan with nothing to convert, after the small files,
                          // which are in place while it is scanned: sent mid-scan
        const char* thread = nullptr;  // sent to the run's thread of this name alone
    };
    std::vector<Row> rows = {Row{SIGINT, false, 0, false},     Row{SIGTERM, false, 0, false},
                             Row{SIGHUP, false, 0, false},     Row{SIGHUP, true, 0, false},
                             Row{SIGINT, true, 0, false},      Row{SIGALRM, false, 0, false},
                             Row{SIGUSR1, false, 0, false},    Row{SIGTERM, false, 1000, false},
                             Row{SIGPIPE, false, 1000, false}, Row{SIGTERM, false, 5, true}};
    // Every signal the run holds, sent alone to the thread that converts every other chunk, and to
    // one that converts files ahead, which no other thread sees; under a sanitizer, which
    // converts many times slower, two of them.
    for (const int signal : testing_util::ending_signals()) {
#ifdef TESSARAN_SANITIZED
        if (signal != SIGTERM && signal != SIGRTMIN) {
            continue;
        }
#endif
        if (!testing_util::is_fault_signal(signal)) {
            rows.push_back(Row{signal, false, 0, false, tessaran::helper_thread_name});
            rows.push_back(Row{signal, false, 3, false, tessaran::ahead_thread_name});
        }
    }
    for (const Row& row : rows) {
        const std::string name =
            std::string(strsignal(row.signal)) + (row.ignored ? ", ignored" : "") +
            (row.small_files > 0 ? ", many files" : "") + (row.endless ? ", endless scan" : "") +
            (row.thread != nullptr ? std::string(", to ") + row.thread : "");
        // A hole is passed in one step, so the long scan is one of data: lines that each hold a
        // '[' and nothing to convert, seconds of work.
        std::string endless;
        for (int line = 0; row.endless && line < 64 << 20; ++line) {
            endless += "[\n";
        }
        const bool ahead = row.thread == tessaran::ahead_thread_name && journaled.mounted();
        const std::string folder = ahead ? ahead_folder : dir.path() + "/rows";
        ::mkdir(folder.c_str(), 0755);
        write_file(folder + "/a.xml", row.endless ? endless : old_content);
        std::vector<std::string> files = {folder + "/a.xml"};
        for (const std::string& file :
             testing_util::layout_files(folder, row.small_files, layout_before)) {
            files.insert(row.endless ? files.end() - 1 : files.end(), file);
        }
        // Many files may all be converted before the signal is sent: a last one that a reader
        // holds locked keeps the run going until it is, however busy the machine.
        tessaran::UniqueFd reader;
        if (row.small_files > 0 && !row.endless) {
            files.push_back(folder + "/locked.xml");
            write_file(files.back(), layout_before);
            reader = tessaran::UniqueFd(::open(files.back().c_str(), O_RDONLY | O_CLOEXEC));
            ASSERT_EQ(::flock(reader.get(), LOCK_SH), 0) << name;
        }
        testing_util::Launch launch;
        launch.ignored_signal = row.ignored ? row.signal : 0;
        const pid_t tool = testing_util::start_tool(files, launch);
        if (row.small_files > 0 && !row.endless && row.thread == nullptr) {
            for (int wait = 0; wait < 100000 && read_file(files[1]) == layout_before; ++wait) {
                ::usleep(50);
            }
        } else if (row.endless) {
            // The small files are put in place before the long scan begins: waited for, not timed.
            for (std::size_t i = 0; i + 1 < files.size(); ++i) {
                for (int wait = 0; wait < 200000 && read_file(files[i]) != layout_after; ++wait) {
                    ::usleep(50);
                }
                EXPECT_EQ(read_file(files[i]), layout_after) << name;
            }
            ::kill(tool, row.signal);
            // Not a speed check: a scan that never looks for the signal never ends at all.
            int status = 0;
            for (int wait = 0; wait < 100 && ::waitpid(tool, &status, WNOHANG) == 0; ++wait) {
                ::usleep(100000);
            }
            ::kill(tool, SIGKILL);
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == row.signal) << name;
            testing_util::wait_tool(tool);
            EXPECT_EQ(testing_util::list_dir(folder).size(), files.size()) << name;
            for (std::size_t i = 0; i + 1 < files.size(); ++i) {
                ::unlink(files[i].c_str());
            }
            continue;
        } else {
            wait_for(folder + "/.a.xml_bak");
        }
        const pid_t helper = row.thread != nullptr ? thread_named(tool, row.thread) : 0;
        EXPECT_TRUE(row.thread == nullptr || helper != 0) << name;
        (void)(helper != 0 ? ::syscall(SYS_tgkill, tool, helper, row.signal)
                           : ::kill(tool, row.signal));
        EXPECT_EQ(testing_util::wait_tool(tool), row.ignored ? 0 : 128 + row.signal) << name;
        const std::string after = read_file(folder + "/a.xml");
        EXPECT_TRUE(after == old_content || after == new_content) << name;
        EXPECT_TRUE(!row.ignored || after == new_content) << name;
        // The files converted are the first ones named, and no work file is left.
        bool still_old = false;
        for (std::size_t i = 1; i < files.size(); ++i) {
            const std::string content = read_file(files[i]);
            EXPECT_TRUE(content == (still_old ? layout_before : content)) << name << " " << i;
            still_old = content == layout_before;
        }
        EXPECT_EQ(testing_util::list_dir(folder).size(), files.size()) << name;
        for (std::size_t i = 1; i < files.size(); ++i) {
            ::unlink(files[i].c_str());
        }
    }
    skips.report();
}

// Every signal that ends a process and can be caught, sent while the run waits for a file that a
// reader holds locked: the files before it stand converted, the wait ends at once, the locked
// file is untouched, no work file is left, and the run dies of that very signal. While it waits,
// it holds none of the files after it, which its other threads may have converted ahead.
TEST(Faults, EveryEndingSignalEndsTheWaitForALock) {
    // On an ext4 with a journal, where the files after the first are converted ahead; a disk
    // without one takes them one at a time.
    const ScratchDir top;
    const testing_util::LoopMount dir(top / "disk", testing_util::ext4_with_journal);
    if (!dir.mounted()) {
        testing_util::RowSkips skips;
        skips.add("cannot mount an ext4 with a journal here");
        return skips.report();
    }
    write_file(dir / "locked.xml", layout_before);
    const int reader = ::open((dir / "locked.xml").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(reader, LOCK_SH), 0);
    for (const int signal : testing_util::ending_signals()) {
#ifdef TESSARAN_SANITIZED
        if (testing_util::is_fault_signal(signal)) {
            continue;  // a sanitizer's runtime catches these itself; the plain build sends them
        }
#endif
        write_file(dir / "first.xml", layout_before);
        std::vector<std::string> files = {dir / "first.xml", dir / "locked.xml"};
        const std::vector<std::string> after =
            testing_util::layout_files(dir / "after", 16, layout_before);
        files.insert(files.end(), after.begin(), after.end());
        const pid_t tool = testing_util::start_tool(files);
        for (int wait = 0; wait < 100000 && (read_file(dir / "first.xml") == layout_before ||
                                             exists(dir / ".first.xml_bak"));
             ++wait) {
            ::usleep(50);
        }
        const auto holds_none_after = [&] {
            for (const std::string& file : after) {
                const int other = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
                const bool locked = ::flock(other, LOCK_EX | LOCK_NB) != 0;
                ::close(other);
                if (locked) {
                    return false;
                }
            }
            return testing_util::list_dir(dir / "after").size() == after.size();
        };
        bool released = false;
        for (int wait = 0; wait < 10000 && !(released = holds_none_after()); ++wait) {
            ::usleep(1000);
        }
        EXPECT_TRUE(released) << "signal " << signal;
        ::kill(tool, signal);
        EXPECT_EQ(testing_util::wait_tool(tool), 128 + signal) << "signal " << signal;
        EXPECT_EQ(read_file(dir / "first.xml"), layout_after) << "signal " << signal;
        EXPECT_EQ(read_file(dir / "locked.xml"), layout_before) << "signal " << signal;
        EXPECT_EQ(read_file(after.back()), layout_before) << "signal " << signal;
        EXPECT_EQ(testing_util::list_dir(dir.path()).size(), 4u)  // lost+found besides
            << "signal " << signal;
        EXPECT_EQ(testing_util::list_dir(dir / "after").size(), after.size())
            << "signal " << signal;
    }
    ::close(reader);
}

// Runs on one file take turns, whichever way one of them ends: the file is whole, converted once
// for each run that succeeds, and no work file is left.
TEST(Faults, RunsOnOneFileTakeTurns) {
    // Two runs over the same 300 files in opposite orders: neither waits on the other while it
    // holds a file, so both finish and each file is scaled twice.
    {
        const ScratchDir dir;
        const std::vector<std::string> files =
            testing_util::layout_files(dir.path(), 300, layout_before);
        const pid_t forward = testing_util::start_tool(files);
        const pid_t backward = testing_util::start_tool({files.rbegin(), files.rend()});
        EXPECT_EQ(testing_util::wait_tool(forward), 0);
        EXPECT_EQ(testing_util::wait_tool(backward), 0);
        const std::string twice = converted(layout_after);
        for (const std::string& file : files) {
            EXPECT_EQ(read_file(file), twice) << file;
        }
    }
    const std::string old_content = testing_util::large_layout(20 * 1024 * 1024);
    const std::string once = converted(old_content);
    const ScratchDir dir;
    ::symlink("a.xml", (dir / "b.xml").c_str());
    struct Row {
        const char* name;
        const char* second_name;  // the name the second run is given
        bool stop_first;          // stop the first mid-write, else the second while it waits
        int ending_signal;        // then sent to the stopped run; 0: stop neither
        int first_status;
        int second_status;
        bool twice;  // converted by both
    };
    const Row rows[] = {
        {"second stopped while waiting, then terminated", "a.xml", false, SIGTERM, 0, 128 + SIGTERM,
         false},
        {"first stopped mid-write, then killed", "a.xml", true, SIGKILL, 128 + SIGKILL, 0, false},
        {"a link and its target at once", "b.xml", false, 0, 0, 0, true},
    };
    for (const Row& row : rows) {
        write_file(dir / "a.xml", old_content);
        const pid_t first = testing_util::start_tool({dir / "a.xml"});
        wait_for(dir / ".a.xml_bak");
        const pid_t second = testing_util::start_tool({dir / row.second_name});
        ::usleep(20000);
        int first_status = -1;
        if (row.ending_signal != 0) {
            const pid_t stopped = row.stop_first ? first : second;
            ::kill(stopped, SIGSTOP);
            if (!row.stop_first) {
                first_status = testing_util::wait_tool(first);
            }
            ::kill(stopped, row.ending_signal);
            ::kill(stopped, SIGCONT);
        }
        first_status = first_status >= 0 ? first_status : testing_util::wait_tool(first);
        EXPECT_EQ(first_status, row.first_status) << row.name;
        EXPECT_EQ(testing_util::wait_tool(second), row.second_status) << row.name;
        EXPECT_TRUE(read_file(dir / "a.xml") == (row.twice ? converted(once) : once)) << row.name;
        EXPECT_FALSE(exists(dir / ".a.xml_bak")) << row.name;
    }
}

}  // namespace
