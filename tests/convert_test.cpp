// Converting real files on disk: names, places, leftovers, faults, metadata, links and types.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "convert.hpp"
#include "reference_rules.hpp"
#include "test_util.hpp"

using namespace std::string_literals;
using tessaran::Outcome;
using testing_util::exists;
using testing_util::layout_after;
using testing_util::layout_before;
using testing_util::list_dir;
using testing_util::read_file;
using testing_util::write_file;

namespace {

class ConvertTest : public ::testing::Test {
  protected:
    // Converts one file and commits it at once: its outcome.
    Outcome convert(const std::string& path) {
        converter.convert(path.c_str());
        EXPECT_TRUE(converter.finish());
        return reported;
    }
    std::vector<std::string> names(const std::string& directory = "") const {
        return list_dir(directory.empty() ? dir.path() : dir / directory);
    }

    void TearDown() override { skips.report(); }

    testing_util::ScratchDir dir;
    testing_util::RowSkips skips;
    tessaran::HeldSignals signals;
    Outcome reported = Outcome::failed;
    tessaran::Converter converter{signals,
                                  [this](const char*, Outcome outcome) { reported = outcome; }};
};

// Changes the working directory for one scope.
class InDirectory {
  public:
    explicit InDirectory(const std::string& path) : previous_(::get_current_dir_name()) {
        EXPECT_EQ(::chdir(path.c_str()), 0);
    }
    ~InDirectory() {
        EXPECT_EQ(::chdir(previous_), 0);
        std::free(previous_);
    }

  private:
    char* previous_;
};

TEST_F(ConvertTest, NamesAreOnlyEverPaths) {
    const char* const hostile_names[] = {
        "a b.xml",           "-rf.xml",           "$(touch pwned).xml",
        "x;touch pwned.xml", "`touch pwned`.xml", "*.xml",
        "'\".xml",           "line\nfeed.xml",    "--.xml",
    };
    for (const std::string name : hostile_names) {
        write_file(dir / name, layout_before);
        EXPECT_EQ(convert(dir / name), Outcome::converted) << name;
        EXPECT_EQ(read_file(dir / name), layout_after) << name;
        EXPECT_EQ(names(), std::vector<std::string>{name});
        ::unlink((dir / name).c_str());
    }
}

TEST_F(ConvertTest, WorkFileStaysInTheFilesDirectory) {
    ::mkdir((dir / "sub").c_str(), 0755);
    const InDirectory inside(dir / "sub");
    for (const std::string& path :
         std::vector<std::string>{"a.xml", "./a.xml", "../sub/a.xml", dir / "sub/a.xml"}) {
        write_file(dir / "sub/a.xml", layout_before);
        EXPECT_EQ(convert(path), Outcome::converted) << path;
        EXPECT_EQ(read_file(dir / "sub/a.xml"), layout_after) << path;
        EXPECT_EQ(names(), std::vector<std::string>{"sub"}) << path;
        EXPECT_EQ(names("sub"), std::vector<std::string>{"a.xml"}) << path;
    }
    // The folder a name leads to is looked up again for each name: moved away between two names,
    // and another put in its place, the second name is the new folder's file.
    ::mkdir((dir / "sub/in").c_str(), 0755);
    write_file(dir / "sub/in/a.xml", layout_before);
    EXPECT_EQ(convert(dir / "sub/in/a.xml"), Outcome::converted);
    EXPECT_EQ(::rename((dir / "sub/in").c_str(), (dir / "sub/was").c_str()), 0);
    ::mkdir((dir / "sub/in").c_str(), 0755);
    write_file(dir / "sub/in/a.xml", layout_before);
    write_file(dir / "sub/was/a.xml", layout_before);
    EXPECT_EQ(convert(dir / "sub/in/a.xml"), Outcome::converted);
    EXPECT_EQ(read_file(dir / "sub/in/a.xml"), layout_after);
    EXPECT_EQ(read_file(dir / "sub/was/a.xml"), layout_before);
}

// Runs the tool as the unprivileged user nobody, where setpriv is at hand.
const std::vector<std::string> as_nobody = {"setpriv", "--reuid=65534", "--regid=65534",
                                            "--clear-groups"};
testing_util::RunResult run_as_nobody(const std::vector<std::string>& arguments) {
    testing_util::Launch launch;
    launch.wrapper = as_nobody;
    launch.tool = testing_util::tool_for_any_user();
    return testing_util::run_tool(arguments, launch);
}
bool can_run_as_nobody() {
    return ::geteuid() == 0 && run_as_nobody({}).exit_status == 2;
}

TEST_F(ConvertTest, OnlyALeftoverUnderTheWorkNameIsReplaced) {
    write_file(dir / "victim", "precious");
    const auto stale_file = [&] { write_file(dir / ".a.xml_bak", "stale content\n"); };
    const auto planted_link = [&] { ::symlink("victim", (dir / ".a.xml_bak").c_str()); };
    const auto directory = [&] { ::mkdir((dir / ".a.xml_bak").c_str(), 0755); };
    // Another user's file under the work name, which root may remove but must not.
    const auto other_users_file = [&] {
        write_file(dir / ".a.xml_bak", "precious");
        ::chown((dir / ".a.xml_bak").c_str(), 1234, 1234);
    };
    // A leftover of the file's owner, whose runs of their own leave it behind.
    const auto owners_leftover = [&] {
        stale_file();
        ::chown((dir / ".a.xml_bak").c_str(), 4321, 4321);
        ::chown((dir / "a.xml").c_str(), 4321, 4321);
    };
    // In a sticky folder, the same for nobody, who may not remove it anyway.
    const auto other_users_file_sticky = [&] {
        other_users_file();
        ::chown((dir / "a.xml").c_str(), 65534, 65534);
        ::chmod(dir.path().c_str(), 01777);
    };
    // A killed run that could not use the work name left its work file under a fresh one.
    const auto fresh_leftover = [&] {
        other_users_file();
        write_file(dir / tessaran::fresh_work_name("a.xml", "K1lledR"), "stale content\n");
    };
    // The same, beside a file of the runner's own whose name only looks like a fresh one.
    const auto own_look_alike = [&] {
        fresh_leftover();
        write_file(dir / ".a.xml_bak.2024backup", "precious");
    };
    // A name of `length` bytes whose usual work name is another user's: a fresh name still fits
    // up to 239 bytes, and is cut short with a hash from 240 to the longest, 250.
    const auto long_name = [](std::size_t length) { return std::string(length - 4, 'l') + ".xml"; };
    const auto work_name_taken = [&](std::size_t length) {
        return [&, length] {
            write_file(dir / ("." + long_name(length) + "_bak"), "precious");
            ::chown((dir / ("." + long_name(length) + "_bak")).c_str(), 1234, 1234);
        };
    };
    struct Row {
        std::function<void()> leave_behind;
        bool by_nobody;
        std::vector<std::string> left;
        std::string name = "a.xml";
    };
    // A 250-byte name's fresh names are cut and hashed; the 239-byte name made of their cut and
    // hash has fresh names of its own, one of which another run is writing.
    const std::string cut_and_hash = tessaran::fresh_work_name(long_name(250), "").substr(1, 240);
    const std::string others_work = tessaran::fresh_work_name(
        cut_and_hash.substr(0, 222) + cut_and_hash.substr(223), "OtherRun0");
    const auto shared_cut = [&] {
        work_name_taken(250)();
        write_file(dir / others_work, "being written");
    };
    const Row rows[] = {
        {fresh_leftover, false, {".a.xml_bak", "a.xml", "victim"}},
        {own_look_alike, false, {".a.xml_bak", ".a.xml_bak.2024backup", "a.xml", "victim"}},
        {shared_cut,
         false,
         {"." + long_name(250) + "_bak", others_work, long_name(250), "victim"},
         long_name(250)},
        {work_name_taken(239),
         false,
         {"." + long_name(239) + "_bak", long_name(239), "victim"},
         long_name(239)},
        {work_name_taken(244),
         false,
         {"." + long_name(244) + "_bak", long_name(244), "victim"},
         long_name(244)},
        {work_name_taken(250),
         false,
         {"." + long_name(250) + "_bak", long_name(250), "victim"},
         long_name(250)},
        {stale_file, false, {"a.xml", "victim"}},
        {owners_leftover, false, {"a.xml", "victim"}},
        {planted_link, false, {".a.xml_bak", "a.xml", "victim"}},
        {directory, false, {".a.xml_bak", "a.xml", "victim"}},
        {other_users_file, false, {".a.xml_bak", "a.xml", "victim"}},
        {other_users_file_sticky, true, {".a.xml_bak", "a.xml", "victim"}},
    };
    for (const Row& row : rows) {
        if (row.by_nobody && !can_run_as_nobody()) {
            skips.add("cannot run as nobody here");
            continue;
        }
        ::chmod(dir.path().c_str(), 0700);
        const std::string path = dir / row.name, work = dir / ("." + row.name + "_bak");
        write_file(path, layout_before);
        row.leave_behind();
        if (row.by_nobody) {
            EXPECT_EQ(run_as_nobody({path}).output, "");
        } else {  // as a run of its own, which lists the folder anew
            tessaran::Converter run{signals,
                                    [this](const char*, Outcome outcome) { reported = outcome; }};
            run.convert(path.c_str());
            EXPECT_TRUE(run.finish());
            EXPECT_EQ(reported, Outcome::converted);
        }
        EXPECT_EQ(read_file(path), layout_after);
        EXPECT_EQ(read_file(dir / "victim"), "precious");
        EXPECT_EQ(names(), row.left);
        EXPECT_TRUE(row.left.size() == 2 || exists(work + "/") || read_file(work) == "precious");
        for (const std::string& name : names()) {
            if (name != "victim") {
                std::filesystem::remove_all(dir / name);
            }
        }
    }
}

TEST_F(ConvertTest, KeepsModeOwnerAndGroup) {
    const bool root = ::geteuid() == 0;
    const bool nobody_runs = can_run_as_nobody();
    ::chmod(dir.path().c_str(), 0777);
    struct Row {
        mode_t mode;
        bool by_nobody;  // who cannot keep the owner, and so must not keep the set-id bits
        mode_t expected;
    };
    const Row rows[] = {
        {0644, false, 0644},
        {0600, false, 0600},
        {0444, false, 0444},
        {04755, false, 04755},
        {02750, false, 02750},
        {01700, false, 01700},
        {04755, true, 0755},
        {02755, true, 0755},
        // The group is not kept: the new one gets no more than others had.
        {0674, true, 0644},
    };
    for (const Row& row : rows) {
        if (row.by_nobody && !nobody_runs) {
            skips.add("cannot run as nobody here");
            continue;
        }
        write_file(dir / "a.xml", layout_before);
        if (root) {
            EXPECT_EQ(::chown((dir / "a.xml").c_str(), 1234, 5678), 0);
        }
        ::chmod((dir / "a.xml").c_str(), row.mode);
        if (row.by_nobody) {
            EXPECT_EQ(run_as_nobody({dir / "a.xml"}).exit_status, 0);
        } else {
            EXPECT_EQ(convert(dir / "a.xml"), Outcome::converted);
        }
        struct stat status {};
        ASSERT_EQ(::stat((dir / "a.xml").c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, row.expected) << std::oct << row.mode;
        if (root) {
            EXPECT_EQ(status.st_uid, row.by_nobody ? 65534u : 1234u);
            EXPECT_EQ(status.st_gid, row.by_nobody ? 65534u : 5678u);
        }
        ::unlink((dir / "a.xml").c_str());
    }
}

// An access ACL as the kernel stores it, an entry being a tag, permissions and an id: owner rw,
// user nobody rw, owning group r, mask rw, others r.
const std::string access_acl =
    "\x02\0\0\0"
    "\x01\0\x06\0\xff\xff\xff\xff"
    "\x02\0\x06\0\xfe\xff\0\0"
    "\x04\0\x04\0\xff\xff\xff\xff"
    "\x10\0\x06\0\xff\xff\xff\xff"
    "\x20\0\x04\0\xff\xff\xff\xff"s;

std::string attribute(const std::string& path, const char* name) {
    std::string value(256, '\0');
    const ssize_t size = ::getxattr(path.c_str(), name, value.data(), value.size());
    value.resize(size < 0 ? 0 : static_cast<std::size_t>(size));
    return size < 0 ? "(none)" : value;
}

// The new file grants what the old one granted: every attribute comes along, and one the new file
// would inherit from its directory, which the old one lacked, does not stay.
TEST_F(ConvertTest, KeepsExtendedAttributesAndNoOthers) {
    const std::string& acl = access_acl;
    // The ACL with the owning group given write too; once nobody, who may not keep the group, has
    // converted the file, the owning group and the mask grant no more than the others' read.
    std::string acl_group_writes = acl;
    acl_group_writes[22] = '\x06';
    std::string acl_for_others = acl;
    acl_for_others[30] = '\x04';
    struct Row {
        const char* name;
        std::string file_acl;       // "" for none
        std::string directory_acl;  // default ACL of the directory, "" for none
        bool on_xfs = false;        // which shows root one ACL under two names
        bool by_nobody = false;
        std::string acl_after = "";  // if other than the file's
    };
    const Row rows[] = {
        {"an access ACL and a user attribute", acl, ""},
        {"no ACL in a directory whose default ACL the new file would take", "", acl},
        {"the same on xfs", "", acl, true},
        {"the group not kept", acl_group_writes, "", false, true, acl_for_others},
    };
    for (const Row& row : rows) {
        ::mkdir((dir / "d").c_str(), 0777);
        if ((row.on_xfs && !testing_util::mount_image(dir, dir / "d", "mkfs.xfs -q")) ||
            (row.by_nobody && !can_run_as_nobody())) {
            skips.add(std::string("no xfs or no other user here: ") + row.name);
            continue;
        }
        ::chmod(dir.path().c_str(), 0755);  // for nobody
        ::chmod((dir / "d").c_str(), 0777);
        write_file(dir / "d/a.xml", layout_before);
        ::chown((dir / "d/a.xml").c_str(), 1234, 5678);
        ::chmod((dir / "d/a.xml").c_str(), 0640);
        const std::string path = dir / "d/a.xml";
        const auto set = [](const std::string& at, const char* name, const std::string& value) {
            return value.empty() ||
                   ::setxattr(at.c_str(), name, value.data(), value.size(), 0) == 0;
        };
        if (!set(path, "system.posix_acl_access", row.file_acl) ||
            !set(dir / "d", "system.posix_acl_default", row.directory_acl) ||
            !set(path, "user.note", "kept byte for byte\0\x01"s)) {
            skips.add(std::string("no ACLs or user attributes here: ") + row.name);
            return;
        }
        struct stat was {};
        ::stat(path.c_str(), &was);
        if (row.by_nobody) {
            EXPECT_EQ(run_as_nobody({path}).output, "") << row.name;
        } else {
            EXPECT_EQ(convert(path), Outcome::converted) << row.name;
        }
        EXPECT_EQ(read_file(path), layout_after) << row.name;
        const std::string acl_after = row.acl_after.empty() ? row.file_acl : row.acl_after;
        EXPECT_EQ(attribute(path, "system.posix_acl_access"),
                  acl_after.empty() ? "(none)" : acl_after)
            << row.name;
        EXPECT_EQ(attribute(path, "user.note"), "kept byte for byte\0\x01"s) << row.name;
        struct stat is {};
        ::stat(path.c_str(), &is);
        EXPECT_EQ(is.st_mode, was.st_mode & (row.by_nobody ? ~mode_t{020} : ~mode_t{0}))
            << row.name;
        ::umount2((dir / "d").c_str(), MNT_DETACH);
        std::filesystem::remove_all(dir / "d");
    }
}

TEST_F(ConvertTest, SymbolicLinkStaysALink) {
    ::mkdir((dir / "real").c_str(), 0755);
    ::symlink("real/a.xml", (dir / "link").c_str());
    ::symlink((dir / "link").c_str(), (dir / "link_to_link").c_str());
    // 22 relative links through directories with 200-byte names: joined, their texts would pass
    // the path length limit, but the kernel follows such a chain.
    const auto long_name = [](int i) { return std::string(200, 'd') + std::to_string(i); };
    for (int i = 0; i < 22; ++i) {
        ::mkdir((dir / long_name(i)).c_str(), 0755);
        const std::string next = i == 21 ? "../real/a.xml" : "../" + long_name(i + 1) + "/l";
        ::symlink(next.c_str(), (dir / long_name(i) + "/l").c_str());
    }
    for (const std::string& link : {dir / "link_to_link", dir / long_name(0) + "/l"}) {
        write_file(dir / "real/a.xml", layout_before);
        EXPECT_EQ(convert(link), Outcome::converted) << link;
        EXPECT_EQ(read_file(dir / "real/a.xml"), layout_after);
        EXPECT_EQ(names("real"), std::vector<std::string>{"a.xml"});
        struct stat status {};
        EXPECT_EQ(::lstat(link.c_str(), &status), 0);
        EXPECT_TRUE(S_ISLNK(status.st_mode)) << link;
    }
}

TEST_F(ConvertTest, OnlyExistingRegularFilesAreOpened) {
    write_file(dir / "a.xml", layout_before);
    // Another user's link to a.xml in a sticky, world-writable folder.
    ::mkdir((dir / "shared").c_str(), 01777);
    ::chmod((dir / "shared").c_str(), 01777);
    ::symlink((dir / "a.xml").c_str(), (dir / "shared/planted.xml").c_str());
    ::lchown((dir / "shared/planted.xml").c_str(), 65534, 65534);
    const testing_util::KernelSetting protected_links("/proc/sys/fs/protected_symlinks", "1");
    ::mkdir((dir / "directory").c_str(), 0755);
    ::mkfifo((dir / "fifo").c_str(), 0644);
    ::symlink("nowhere", (dir / "dangling").c_str());
    const std::pair<std::string, Outcome> rows[] = {
        {dir / "missing.xml", Outcome::missing},
        {dir / "dangling", Outcome::missing},
        {dir / "a.xml/", Outcome::missing},  // a file is no directory
        {dir / "directory", Outcome::not_openable},
        {dir / "fifo", Outcome::not_openable},  // must not wait for a writer
        {"/dev/null", Outcome::not_openable},
        // Where the kernel would refuse to follow the link, so does the tool.
        {dir / "shared/planted.xml", Outcome::not_openable},
    };
    for (const auto& [path, outcome] : rows) {
        if (path == dir / "shared/planted.xml" && (!protected_links.held() || ::geteuid() != 0)) {
            skips.add("links cannot be protected here");
            continue;
        }
        EXPECT_EQ(convert(path), outcome) << path;
    }
    // With the setting out of sight, as under ProcSubset=pid, the kernel's default holds.
    testing_util::Launch setting_hidden;
    setting_hidden.wrapper = {"unshare", "--mount", "sh", "-c",
                              "mount -t tmpfs hidden /proc/sys && exec \"$0\" \"$@\""};
    if (protected_links.held() && ::geteuid() == 0) {
        // A wrapper that cannot start (no mount namespace in a plain chroot) is a missing
        // prerequisite, not a failure.
        if (testing_util::run_tool({}, setting_hidden).exit_status != 2) {
            skips.add("cannot hide the setting in a mount namespace here");
        } else {
            EXPECT_EQ(testing_util::run_tool({dir / "shared/planted.xml"}, setting_hidden).output,
                      dir / "shared/planted.xml is can not open!\n");
        }
    }
    EXPECT_EQ(read_file(dir / "a.xml"), layout_before);
}

// Files of many chunks, cut wherever lines end, come out as the separate reading of the rules
// says, whichever worker took each chunk and however long a line runs past a chunk's end.
TEST_F(ConvertTest, WholeFilesFollowTheRules) {
    std::string unchanged_start;
    for (int i = 0; unchanged_start.size() < 1200 * 1024; ++i) {
        unchanged_start += "\t<text>line " + std::to_string(i) + "</text>\n";
    }
    std::string minified = testing_util::large_layout(600 * 1024);
    minified.erase(std::remove(minified.begin(), minified.end(), '\n'), minified.end());
    const std::string layout = testing_util::large_layout(1024 * 1024);
    const std::string rows[] = {
        // A long start that needs no change, copied as it stands, then one change.
        unchanged_start + "\t<rect>[5,5,5,5]</rect>\n<end/>",
        // A line of text and a minified stretch, each longer than a chunk, amid plain lines.
        layout + "<text>" + std::string(700 * 1024, 'x') + "</text>\n" + layout + minified + "\n" +
            layout,
    };
    for (const std::string& content : rows) {
        write_file(dir / "a.xml", content);
        EXPECT_EQ(convert(dir / "a.xml"), Outcome::converted);
        EXPECT_TRUE(read_file(dir / "a.xml") == reference::converted(content));
    }
}

TEST_F(ConvertTest, NothingToConvertLeavesTheFileUntouched) {
    for (const std::string content :
         {"", "<a>\n<b/>", "<rect>[0,0,0,0]</rect>\n<rect>bad</rect>"}) {
        write_file(dir / "a.xml", content);
        const timeval old_times[2] = {{1000000000, 0}, {1000000000, 0}};
        ::utimes((dir / "a.xml").c_str(), old_times);
        struct stat was {
        }, is{};
        ::stat((dir / "a.xml").c_str(), &was);
        EXPECT_EQ(convert(dir / "a.xml"), Outcome::unchanged);
        ::stat((dir / "a.xml").c_str(), &is);
        EXPECT_EQ(is.st_ino, was.st_ino);
        EXPECT_EQ(is.st_mtim.tv_sec, 1000000000);
        EXPECT_EQ(read_file(dir / "a.xml"), content);
        EXPECT_EQ(names(), std::vector<std::string>{"a.xml"});
    }
}

}  // namespace
