// Every system call a conversion makes, made to fail in turn with the error a real failure of that
// call would bring: whatever fails, the file holds its whole old or its whole new content, the exit
// status and message say which, and no work file stays behind. Also, from a trace, that each
// directory renamed into is flushed once, after its last rename.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

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
    {"fcntl", "EAGAIN"},
    {"fallocate", "EOPNOTSUPP"},
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

// Whether the tool cannot run under strace here: the test is then skipped, or fails in CI.
bool cannot_trace() {
    testing_util::Launch launch;
    launch.wrapper = {"strace", "-o", "/dev/null"};
    if (testing_util::run_tool({}, launch).exit_status == 2) {
        return false;
    }
    testing_util::RowSkips skips;
    skips.add("the tool cannot run under strace here");
    skips.report();
    return true;
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

// What a file left neither old nor new holds: its size and the first offset where it differs from
// each, and where the trace of the run that left it is kept.
std::string neither(const std::string& path, const std::string& after, const std::string& old,
                    const std::string& converted, const std::string& trace) {
    const auto differs_at = [&](const std::string& other) {
        return std::to_string(
            std::mismatch(after.begin(), after.end(), other.begin(), other.end()).first -
            after.begin());
    };
    const std::string kept = std::filesystem::temp_directory_path() /
                             ("tessaran-sweep-" + std::to_string(::getpid()) + ".trace");
    std::filesystem::copy_file(trace, kept, std::filesystem::copy_options::overwrite_existing);
    return path + " is neither old nor new: " + std::to_string(after.size()) +
           " bytes, differing from the old at " + differs_at(old) + " and from the new at " +
           differs_at(converted) + "; trace kept in " + kept;
}

TEST(Sweep, EveryFailingCallLeavesTheFileWholeAndSaysSo) {
#ifdef TESSARAN_SANITIZED
    GTEST_SKIP() << "a sanitizer's runtime makes calls of its own and ends the process when they "
                    "fail; the plain build sweeps";
#endif
    if (cannot_trace()) {
        return;
    }
    // Three files in one batch on an ext4 with a journal, so that every call of a batch fails in
    // turn, and one at a time on one without, so that every call of a swap does; the large one is
    // several chunks long, so that the second thread's calls fail too.
    const std::string large = testing_util::large_layout(2 * 1024 * 1024);
    const std::pair<const std::string*, const std::string*> shapes[] = {
        {&testing_util::ext4_with_journal, &testing_util::layout_before},
        {&testing_util::ext4_with_journal, &large},
        {&testing_util::ext4_without_journal, &testing_util::layout_before}};
    testing_util::RowSkips skips;
    for (const auto& [mkfs, content] : shapes) {
        const std::string& old_content = *content;
        const ScratchDir dir;
        const testing_util::LoopMount disk(dir / "disk", *mkfs);
        if (!disk.mounted()) {
            skips.add("cannot mount an ext4 here: " + *mkfs);
            continue;
        }
        const std::vector<std::string> paths = {disk / "a.xml", disk / "b.xml", disk / "c.xml"};
        // An attribute to carry over, so that reading and setting one fail in turn too.
        const auto write_old = [&] {
            for (const std::string& path : paths) {
                write_file(path, old_content);
                ::setxattr(path.c_str(), "user.note", "kept", 4, 0);
            }
        };
        write_old();
        ASSERT_EQ(run_traced({dir / "trace"}, paths).exit_status, 0);
        const std::string new_content = read_file(paths[0]);
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
                    {dir / "run.trace", "-e",
                     "inject=" + call + ":error=" + error->second + ":when=" + std::to_string(nth)},
                    paths);
                // Each file old or new; a message for each old one, in order, and none besides.
                std::string messages = result.output;
                bool any_old = false;
                for (const std::string& path : paths) {
                    const std::string after = read_file(path);
                    ASSERT_TRUE(after == old_content || after == new_content)
                        << fault << ": "
                        << neither(path, after, old_content, new_content, dir / "run.trace");
                    if (after == new_content) {
                        continue;
                    }
                    any_old = true;
                    const std::size_t line_end = messages.find('\n');
                    const std::string line = messages.substr(0, line_end);
                    messages.erase(0, line_end == std::string::npos ? line_end : line_end + 1);
                    const bool reported = line == path + " tessaran fail!" ||
                                          line == path + " is can not open!" ||
                                          line == path + " is not exist!";
                    // Without a message only when the message itself could not be written, or
                    // the process could not start.
                    EXPECT_TRUE(reported ||
                                (line.empty() && (call == "write" || result.exit_status >= 126)))
                        << fault << ": " << result.output << ", status " << result.exit_status;
                }
                EXPECT_EQ(messages, "") << fault;
                // A file that failed for want of space is tried again alone, and may succeed.
                EXPECT_TRUE(any_old || !must_keep_the_old_file.count(call) ||
                            error->second == "ENOSPC")
                    << fault;
                EXPECT_TRUE(any_old
                                ? result.exit_status != 0
                                : result.exit_status == 0 || (result.exit_status == 1 &&
                                                              directory_flush_calls.count(call)))
                    << fault << ": status " << result.exit_status;
                // The files and lost+found, nothing else.
                const std::vector<std::string> left = testing_util::list_dir(disk.path());
                EXPECT_TRUE(left.size() == paths.size() + 1 || call == "unlinkat") << fault;
            }
        }
        std::cout << "failed " << runs << " calls in turn on three files of " << old_content.size()
                  << " bytes, " << *mkfs << "\n";
    }
    skips.report();
}

// Chosen faults in a run of ten files, and other programs that change a file while it is
// converted: the file concerned alone fails, with its message in its place, and keeps what it
// holds; every other file is converted.
TEST(Sweep, ChosenFaultsFailOnlyTheirFile) {
#ifdef TESSARAN_SANITIZED
    GTEST_SKIP() << "the plain build runs these under strace";
#endif
    if (cannot_trace()) {
        return;
    }
    // While the batch waits for its flush, another program ...
    const auto truncate = [](const std::string& path) { ::truncate(path.c_str(), 10); };
    const auto append = [](const std::string& path) {
        std::ofstream(path, std::ios::app) << "<new/>\n";
    };
    const auto restrict_mode = [](const std::string& path) { ::chmod(path.c_str(), 0600); };
    // ... or another user writes a program into a set-user-ID file it may write to: the kernel
    // takes the bit away, and the file must not get it back.
    const auto plant_program = [](const std::string& path) {
        std::system(("setpriv --reuid=65534 --regid=65534 --clear-groups sh -c 'printf ELF 1<>" +
                     path + "'")
                        .c_str());
    };
    // ... or another user writes into the work file, the set-user-ID bit given.
    const auto write_work_file = [](const std::string& path) {
        const std::string work = path.substr(0, path.rfind('/') + 1) + ".4.xml_bak";
        std::system(("setpriv --reuid=65534 --regid=65534 --clear-groups sh -c 'printf ELF 1<>" +
                     work + "'")
                        .c_str());
    };
    // ... or another user only opens the work file, and could read or write through it later.
    const auto open_work_file = [](const std::string& path) {
        const std::string work = path.substr(0, path.rfind('/') + 1) + ".4.xml_bak";
        std::system(
            ("setpriv --reuid=65534 --regid=65534 --clear-groups sh -c 'exec 3<" + work + "'")
                .c_str());
    };
    // ... or the owner of a set-group-ID file of a group she is not in, given the work file,
    // makes it hers to write and opens it while its attributes are still being given: the open
    // waits for the lease, and what she then holds must not be set-group-ID.
    std::string opener_holds;
    const auto open_when_given = [&opener_holds](const std::string& path) {
        const std::string work = path.substr(0, path.rfind('/') + 1) + ".4.xml_bak";
        struct stat given {};
        for (int wait = 0; wait < 100000 && (::stat(work.c_str(), &given) != 0 ||
                                             given.st_uid != 65534 || (given.st_mode & 0600) != 0);
             ++wait) {
            ::usleep(20);
        }
        testing_util::Launch opener;
        opener.wrapper = {
            "setpriv",
            "--reuid=65534",
            "--regid=65534",
            "--clear-groups",
            "sh",
            "-c",
            "chmod 600 " + work + " && exec 3<>" + work + " && stat -L -c %a /proc/self/fd/3"};
        opener_holds = testing_util::run_tool({}, opener).output;
    };
    // ... or someone moves the folder away and puts a copy of it in its place: the names now lead
    // to the copies, which must not be reported converted while the moved files are.
    const auto replace_folder = [](const std::string& path) {
        const std::string folder = path.substr(0, path.rfind('/'));
        ::rename(folder.c_str(), (folder + ".moved").c_str());
        ::mkdir(folder.c_str(), 0755);
        for (int i = 0; i < 10; ++i) {
            const std::string name = "/" + std::to_string(i) + ".xml";
            write_file(folder + name, read_file(folder + ".moved" + name));
        }
    };
    constexpr int every_file = 10;
    struct Row {
        const char* name;
        std::vector<std::string> inject;  // strace's options
        int failing;                      // the file that must fail, -1 for none, or every_file
        std::function<void(const std::string&)> meanwhile;  // done to file 4 during the delay
        mode_t mode;
        int signal = 0;   // ends the run: no file converted, a message decided before still shown
        uid_t owner = 0;  // of the files, and their group unless `group` says otherwise
        gid_t group = static_cast<gid_t>(-1);
        bool at_once = false;  // `meanwhile` waits for its own moment, not for every work file
    };
    const std::vector<std::string> delay_flush = {"-e", "inject=syncfs:delay_enter=1000000"};
    const std::string failing_syncfs = "inject=syncfs:error=EIO";
    std::vector<Row> rows = {
        // The file system's flush fails: each file's own flush says which are sound.
        {"syncfs fails", {"-e", failing_syncfs}, -1, nullptr, 0644},
        {"syncfs and fsync #4 fail",
         {"-e", failing_syncfs, "-e", "inject=fsync:error=EIO:when=4"},
         3,
         nullptr,
         0644},
        {"rename #5 fails", {"-e", "inject=renameat,renameat2:error=EIO:when=5"}, 4, nullptr, 0644},
        {"another program truncates it", delay_flush, 4, truncate, 0644},
        {"another program appends a line", delay_flush, 4, append, 0644},
        {"its owner takes rights away", delay_flush, 4, restrict_mode, 0644},
        {"another user plants a program in a set-user-ID file", delay_flush, 4, plant_program,
         04666},
        {"another user writes into a set-user-ID work file", delay_flush, 4, write_work_file,
         04666},
        {"another user opens the work file", delay_flush, 4, open_work_file, 0644},
        {"its folder is moved away and a copy put in its place", delay_flush, every_file,
         replace_folder, 0644},
        // Root converts nobody's set-group-ID file; nobody opens its work file to write into it.
        {"its owner writes into the work file", delay_flush, 4, write_work_file, 02770, 0, 65534},
        // The batch's flush is held up too, so that the run cannot end before she has opened it.
        {"its owner opens the work file before it is given its mode",
         {"-e", "inject=fchown:delay_exit=300000", "-e", "inject=syncfs:delay_enter=1000000"},
         4,
         open_when_given,
         02555,
         0,
         65534,
         1234,
         true},
        // Setting an attribute finds no room: the file is tried again alone.
        {"fsetxattr #3 fails for want of room",
         {"-e", "inject=fsetxattr:error=ENOSPC:when=3"},
         -1,
         nullptr,
         0644},
        {"SIGTERM while the batch is flushed",
         {"-e", "inject=syncfs:signal=SIGTERM"},
         -1,
         nullptr,
         0644,
         SIGTERM},
        // A rename short of room, as on a near-full btrfs: tried again once the others are placed.
        {"rename #1 short of room",
         {"-e", "inject=renameat,renameat2:error=ENOSPC:when=1"},
         -1,
         nullptr,
         0644},
    };
    // Every other signal the run holds back, the real-time ones among them, the same way.
    for (const int signal : testing_util::ending_signals()) {
        if (signal != SIGTERM && !testing_util::is_fault_signal(signal)) {
            rows.push_back({"a held signal while the batch is flushed",
                            {"-e", "inject=syncfs:signal=" + std::to_string(signal)},
                            -1,
                            nullptr,
                            0644,
                            signal});
        }
    }
    // Batches are made on a file system with a journal; without one, files go one at a time.
    const ScratchDir top;
    ::chmod(top.path().c_str(), 0755);  // for the other user
    const testing_util::LoopMount disk(top / "disk", testing_util::ext4_with_journal);
    if (!disk.mounted()) {
        testing_util::RowSkips skips;
        skips.add("cannot mount an ext4 with a journal here");
        return skips.report();
    }
    for (std::size_t index = 0; index < rows.size(); ++index) {
        const Row& row = rows[index];
        const std::string name =
            row.name + (row.signal != 0 ? " " + std::to_string(row.signal) : "");
        const std::string dir = disk / std::to_string(index);
        ::mkdir(dir.c_str(), 0755);
        const std::vector<std::string> paths =
            testing_util::layout_files(dir, 10, testing_util::layout_before);
        for (const std::string& path : paths) {
            ::chown(path.c_str(), row.owner,
                    row.group != static_cast<gid_t>(-1) ? row.group : row.owner);
            ::chmod(path.c_str(), row.mode);
            ::setxattr(path.c_str(), "user.note", "kept", 4, 0);
        }
        testing_util::Launch launch;
        launch.wrapper = {"strace", "-f", "-qq", "-o", "/dev/null"};
        launch.wrapper.insert(launch.wrapper.end(), row.inject.begin(), row.inject.end());
        std::string before_change;
        struct stat changed {};
        // Once every work file waits for the flush: files are converted on several threads, so
        // the last one named may be made before the others.
        const auto all_made = [&] {
            for (int i = 0; i < 10; ++i) {
                if (!exists(dir + "/." + std::to_string(i) + ".xml_bak")) {
                    return false;
                }
            }
            return true;
        };
        std::thread other_program([&] {
            for (int wait = 0; row.meanwhile && !row.at_once && wait < 100000 && !all_made();
                 ++wait) {
                ::usleep(50);
            }
            if (row.meanwhile) {
                row.meanwhile(paths[4]);
                before_change = read_file(paths[4]);
                ::stat(paths[4].c_str(), &changed);
            }
        });
        std::vector<std::string> arguments = paths;
        if (row.signal != 0) {
            arguments.insert(arguments.begin(), dir + "/none.xml");
        }
        const auto [output, status] = testing_util::run_tool(arguments, launch);
        other_program.join();
        std::string failures;
        for (int i = 0; i < 10; ++i) {
            failures +=
                i == row.failing || row.failing == every_file ? paths[i] + " tessaran fail!\n" : "";
        }
        EXPECT_EQ(output, row.signal != 0 ? dir + "/none.xml is not exist!\n" : failures) << name;
        EXPECT_EQ(status, row.signal != 0 ? 128 + row.signal : row.failing < 0 ? 0 : 1) << name;
        for (int i = 0; i < 10; ++i) {
            const bool fails = i == row.failing || row.failing == every_file;
            const std::string expected = row.signal != 0 ? testing_util::layout_before
                                         : !fails        ? testing_util::layout_after
                                         : row.meanwhile ? before_change
                                                         : testing_util::layout_before;
            EXPECT_EQ(read_file(paths[i]), expected) << name << ", file " << i;
        }
        // The mode stays as the other program left it: no set-user-ID bit comes back.
        struct stat after {};
        ::stat(paths[4].c_str(), &after);
        EXPECT_TRUE(!row.meanwhile || after.st_mode == changed.st_mode) << name;
        EXPECT_EQ(testing_util::list_dir(dir).size(), 10u) << name;
        EXPECT_TRUE(!row.at_once || opener_holds == "0\n")
            << name << ": the opener holds a file of mode " << opener_holds;
    }
}

// What a file grants, as one consistent look: its status, access ACL and capability.
struct Grants {
    struct stat status {};
    std::string acl;
    std::string capability;
};

std::string attribute(const std::string& path, const char* name) {
    std::string value(256, '\0');
    const ssize_t size = ::lgetxattr(path.c_str(), name, value.data(), value.size());
    value.resize(size < 0 ? 0 : static_cast<std::size_t>(size));
    return value;
}

// False while `path` is missing, or changed or named another file during the look.
bool look_at(const std::string& path, Grants& grants) {
    struct stat after {};
    return ::lstat(path.c_str(), &grants.status) == 0 &&
           ((grants.acl = attribute(path, "system.posix_acl_access")),
            (grants.capability = attribute(path, "security.capability")),
            ::lstat(path.c_str(), &after) == 0) &&
           after.st_ino == grants.status.st_ino &&
           after.st_ctim.tv_nsec == grants.status.st_ctim.tv_nsec &&
           after.st_ctim.tv_sec == grants.status.st_ctim.tv_sec;
}

// How many processes hold the file of `status` open.
int holders(const struct stat& status) {
    int count = 0;
    for (const auto& process : std::filesystem::directory_iterator("/proc")) {
        std::error_code ignored;
        for (const auto& fd : std::filesystem::directory_iterator(process.path() / "fd", ignored)) {
            struct stat held {};
            if (::stat(fd.path().c_str(), &held) == 0 && held.st_dev == status.st_dev &&
                held.st_ino == status.st_ino) {
                ++count;
                break;
            }
        }
    }
    return count;
}

// The rights, rwx as 7, that a file grants the user `uid` of group `gid`, as the kernel decides.
unsigned rights(const Grants& file, uid_t uid, gid_t gid) {
    const mode_t mode = file.status.st_mode;
    if (uid == file.status.st_uid) {
        return (mode >> 6) & 7;
    }
    if (file.acl.empty()) {
        return gid == file.status.st_gid ? (mode >> 3) & 7 : mode & 7;
    }
    const auto field = [&](std::size_t at, int bytes) {
        unsigned value = 0;
        for (int i = bytes; i-- > 0;) {
            value = value << 8 | static_cast<unsigned char>(file.acl[at + i]);
        }
        return value;
    };
    unsigned mask = 7, other = 0, named = 0, group = 0;
    bool is_named = false, in_group = false;
    for (std::size_t at = 4; at + 8 <= file.acl.size(); at += 8) {
        const unsigned tag = field(at, 2), perm = field(at + 2, 2), id = field(at + 4, 4);
        is_named = is_named || (tag == 0x02 && id == uid);
        named |= tag == 0x02 && id == uid ? perm : 0;
        const bool group_entry =
            (tag == 0x04 && gid == file.status.st_gid) || (tag == 0x08 && id == gid);
        in_group = in_group || group_entry;
        group |= group_entry ? perm : 0;
        mask = tag == 0x10 ? perm : mask;
        other = tag == 0x20 ? perm : other;
    }
    return is_named ? named & mask : in_group ? group & mask : other;
}

// Every call the run makes is held up, so that each state of the work file lasts; each is looked
// at and held against the finished file: no one but the runner is ever granted more than the
// finished file grants, and before anyone but the runner may write, the set-id bits and any
// capability stand as they finally will. For files with an access ACL, in a folder with a default
// ACL, with set-id bits and with a capability, converted by root and by their owner.
TEST(Sweep, TheWorkFileNeverGrantsMoreThanTheFinishedFile) {
#ifdef TESSARAN_SANITIZED
    GTEST_SKIP() << "the plain build runs these under strace";
#endif
    if (cannot_trace()) {
        return;
    }
    using namespace std::string_literals;
    // Owner rw, user 2000 rw, owning group nothing (or r), mask rw, others nothing.
    const std::string acl =
        "\x02\0\0\0\x01\0\x06\0\xff\xff\xff\xff\x02\0\x06\0\xd0\x07\0\0"
        "\x04\0\0\0\xff\xff\xff\xff\x10\0\x06\0\xff\xff\xff\xff\x20\0\0\0\xff\xff\xff\xff"s;
    std::string folder_acl = acl;
    folder_acl[22] = '\x04';
    // Version 2, effective, permitted CAP_NET_BIND_SERVICE.
    const std::string capability = "\x01\0\0\x02\0\x04\0\0\0\0\0\0\0\0\0\0\0\0\0\0"s;
    struct Row {
        const char* name;
        mode_t mode;
        bool file_acl, folder_acl, capability, by_owner;
    };
    const Row rows[] = {
        {"an access ACL naming a user", 0660, true, false, false, false},
        {"a default ACL on the folder", 0640, false, true, false, false},
        {"an access ACL in a folder with a default ACL", 0660, true, true, false, false},
        {"set-user-ID and set-group-ID", 06755, false, false, false, false},
        {"a capability", 0755, false, false, true, false},
        {"an access ACL, by its owner", 0660, true, false, false, true},
        {"a default ACL on the folder, by its owner", 0640, false, true, false, true},
        {"set-user-ID and set-group-ID, by its owner", 06755, false, false, false, true},
    };
    testing_util::RowSkips skips;
    // Where leases are refused, root's rows again: another owner's file then gets no privileges.
    for (const bool leases : {true, false}) {
        const testing_util::KernelSetting leasing("/proc/sys/fs/leases-enable", leases ? "1" : "0");
        if (!leasing.held()) {
            skips.add("cannot turn leases off here");
            continue;
        }
        for (const Row& row : rows) {
            if (!leases && row.by_owner) {
                continue;  // the owner's own run gives what it may, with a lease or without
            }
            const std::string name = row.name + std::string(leases ? "" : ", no leases");
            const ScratchDir dir;
            const std::string folder = dir / "d", path = dir / "d/a.xml",
                              work = dir / "d/.a.xml_bak";
            ::chmod(dir.path().c_str(), 0755);
            ::mkdir(folder.c_str(), 0777);
            ::chmod(folder.c_str(), 0777);
            write_file(path, testing_util::layout_before);
            const uid_t owner = row.by_owner ? 65534 : 1234;
            ::chown(path.c_str(), owner, row.by_owner ? 65534 : 5678);
            ::chmod(path.c_str(), row.mode);
            const auto set = [](const std::string& at, const char* name, const std::string& value) {
                return ::setxattr(at.c_str(), name, value.data(), value.size(), 0) == 0;
            };
            if ((row.file_acl && !set(path, "system.posix_acl_access", acl)) ||
                (row.folder_acl && !set(folder, "system.posix_acl_default", folder_acl)) ||
                (row.capability && !set(path, "security.capability", capability))) {
                skips.add("no ACLs or capabilities here: " + name);
                continue;
            }
            testing_util::Launch launch;
            launch.wrapper = {"strace",
                              "-f",
                              "-qq",
                              "-o",
                              "/dev/null",
                              "-e",
                              "inject=%desc,%file:delay_exit=10000"};
            if (row.by_owner) {
                launch.wrapper.insert(launch.wrapper.end(), {"setpriv", "--reuid=65534",
                                                             "--regid=65534", "--clear-groups"});
            }
            launch.tool = testing_util::tool_for_any_user();
            // Swapped in, the old file stands under the work name until it goes: not a state.
            struct stat old {};
            ::stat(path.c_str(), &old);
            const pid_t tool = testing_util::start_tool({path}, launch);
            std::vector<Grants> states;
            int status = 0;
            for (Grants now; ::waitpid(tool, &status, WNOHANG) == 0;) {
                if (look_at(work, now) && now.status.st_ino != old.st_ino &&
                    (states.empty() ||
                     std::memcmp(&now.status.st_ctim, &states.back().status.st_ctim,
                                 sizeof now.status.st_ctim) != 0)) {
                    states.push_back(now);
                    EXPECT_LE(holders(now.status), 1)
                        << name << ": someone but the runner holds it";
                }
            }
            Grants finished;
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0 && look_at(path, finished))
                << name;
            EXPECT_GE(states.size(), 4u) << name << ": too few states seen to judge";
            EXPECT_TRUE(leases ||
                        ((finished.status.st_mode & S_ISUID) == 0 && finished.capability.empty()))
                << name << ": privileges for another owner's bytes";
            // The owner (unless it runs the tool), a member of the owning group, the named user,
            // others.
            const std::pair<uid_t, gid_t> users[] = {
                {owner, 1}, {4000, finished.status.st_gid}, {2000, 2000}, {3000, 3000}};
            for (std::size_t state = 0; state < states.size(); ++state) {
                bool others_write = false;
                for (const auto& [uid, gid] : users) {
                    if (row.by_owner && uid == owner) {
                        continue;
                    }
                    const unsigned granted = rights(states[state], uid, gid);
                    EXPECT_EQ(granted & ~rights(finished, uid, gid), 0u)
                        << name << ": state " << state << " grants user " << uid << " more";
                    others_write = others_write || (granted & 2) != 0;
                }
                EXPECT_TRUE(!others_write || ((states[state].status.st_mode & 06000) ==
                                                  (finished.status.st_mode & 06000) &&
                                              states[state].capability == finished.capability))
                    << name << ": state " << state << " lets others write before its privileges";
            }
        }
        skips.report();
    }
}

// With a journal, each directory renamed into is flushed once, after its last rename, and each
// batch's file system once: a batch's flush also puts the renames of the batch before it on disk.
// Without one, each file is swapped in on its own and its directory flushed before the old file's
// link goes, so that no link count changes before the new entry is on disk, and once more after the
// last removal, so that nothing is left under a work name after the run.
TEST(Sweep, EachDirectoryIsFlushedAfterItsRenames) {
#ifdef TESSARAN_SANITIZED
    GTEST_SKIP() << "a sanitizer's runtime does not run under a tracer; the plain build traces";
#endif
    if (cannot_trace()) {
        return;
    }
    struct Row {
        bool journal;
        int files;  // spread over two folders
        int file_system_flushes;
    };
    const Row rows[] = {
        // One flush before the run's first write, whichever thread writes first, and one for the
        // batch; without a journal, only the first.
        {true, 3, 2},
        {false, 3, 1},
        // Three batches of up to 512 files: one flush each, the folders flushed only at the end.
        {true, 1100, 4},
    };
    testing_util::RowSkips skips;
    // Batches of 512 files: the runs may hold 10,272 files open, however many their user may.
    struct rlimit open_files {};
    ::getrlimit(RLIMIT_NOFILE, &open_files);
    const rlim_t own_limit = open_files.rlim_cur;
    open_files.rlim_cur = 10272;
    for (const Row& row : rows) {
        if (open_files.rlim_max < open_files.rlim_cur ||
            ::setrlimit(RLIMIT_NOFILE, &open_files) != 0) {
            skips.add("cannot hold 10,272 files open here");
            continue;
        }
        const ScratchDir image;
        const testing_util::LoopMount disk(
            image / "disk",
            row.journal ? testing_util::ext4_with_journal : testing_util::ext4_without_journal);
        const std::string& dir = disk.path();
        if (!disk.mounted()) {
            skips.add("cannot mount an ext4 here");
            continue;
        }
        ::mkdir((dir + "/one").c_str(), 0755);
        ::mkdir((dir + "/two").c_str(), 0755);
        std::vector<std::string> files;
        for (int i = 0; i < row.files; ++i) {
            files.push_back(dir + (i % 2 == 0 ? "/one/" : "/two/") + std::to_string(i) + ".xml");
            write_file(files.back(), testing_util::layout_before);
        }
        const std::string trace = image / "trace";
        ASSERT_EQ(
            run_traced({trace, "-y", "-e", "trace=renameat,renameat2,fsync,unlinkat,syncfs"}, files)
                .exit_status,
            0);
        int file_system_flushes = 0;
        // Each line names the directory the call worked in, as "fd</path>".
        std::map<std::string, int> last_rename, renames;
        std::map<std::string, std::vector<int>> flushes;
        std::map<std::string, bool> unflushed;
        std::ifstream in(trace);
        std::string line;
        for (int number = 0; std::getline(in, line); ++number) {
            // A call that another thread's interrupts is told in two lines; the first names it.
            if (line.find("resumed>") != std::string::npos) {
                continue;
            }
            const std::size_t open = line.find('<');
            const std::size_t close = line.find('>', open);
            const std::string path = line.substr(open + 1, close - open - 1);
            if (line.find("syncfs") != std::string::npos) {
                ++file_system_flushes;
            } else if (line.find("rename") != std::string::npos) {
                last_rename[path] = number;
                ++renames[path];
                unflushed[path] = true;
            } else if (line.find("fsync") != std::string::npos) {
                flushes[path].push_back(number);
                unflushed[path] = false;
            } else {
                EXPECT_FALSE(unflushed[path])
                    << "a link goes before the rename is on disk: " << line;
            }
        }
        ASSERT_EQ(last_rename.size(), 2u);
        EXPECT_EQ(file_system_flushes, row.file_system_flushes) << row.files << " files";
        for (const auto& [directory, renamed] : last_rename) {
            // Without a journal, once more at the end, for the last old file's removal.
            ASSERT_EQ(flushes[directory].size(), row.journal ? 1u : renames[directory] + 1u)
                << directory;
            EXPECT_GT(flushes[directory].back(), renamed) << directory;
        }
    }
    open_files.rlim_cur = own_limit;
    ::setrlimit(RLIMIT_NOFILE, &open_files);
    skips.report();
}

}  // namespace
