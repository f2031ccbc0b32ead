// The command line as a user meets it: messages, exit statuses, order of files.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <csignal>
#include <iostream>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "reference_rules.hpp"
#include "test_util.hpp"
#include "work_file.hpp"

using testing_util::layout_after;
using testing_util::layout_before;
using testing_util::read_file;
using testing_util::run_tool;
using testing_util::write_file;

namespace {

const std::string twice = "<w>\n<rect>[819,460,409,230]</rect>\n</w>\n";

TEST(CommandLine, WithoutArgumentsPrintsUsage) {
    const auto result = run_tool({});
    EXPECT_EQ(result.output, "please input parameter!\nexample: tessaran wnd_main_menu.xml\n");
    EXPECT_EQ(result.exit_status, 2);
}

// Files besides good.xml, each converted once: copies of a layout of `file_size` (a small one
// for 0), spread over `folders` folders, on a tmpfs of `tmpfs_size` if given.
struct Many {
    int count = 0;
    int folders = 0;
    const char* tmpfs_size = nullptr;
    std::size_t file_size = 0;
    off_t hole = 0;       // a hole of this size before the content of each
    bool beside = false;  // in the row's own folder, not on this machine's disk
};

// A folder the rows' files are made in.
struct Place {
    std::string path;
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

void reports_each_failure_and_goes_on(const Place& dir, testing_util::RowSkips& skips) {
    SCOPED_TRACE(dir.path);
    const std::string good = dir / "good.xml";
    const std::string fresh_named = dir / tessaran::fresh_work_name("good.xml", "MyOwn1");
    ::mkdir((dir / "directory").c_str(), 0755);
    ::symlink("good.xml", (dir / "link").c_str());
    // A line far longer than any buffer, to be converted within a small address space.
    const std::string long_line = std::string(64 * 1024 * 1024, 'a');
    testing_util::Launch small_memory;
    small_memory.address_space_limit = 48 * 1024 * 1024;
    testing_util::Launch few_descriptors;
    few_descriptors.open_files_limit = 16;
    testing_util::Launch interrupt_blocked;
    interrupt_blocked.blocked_signal = SIGINT;
    // A machine of 16 CPUs, as the run sees it; its peak memory noted.
    const std::string peak = dir / "peak";
    testing_util::Launch sixteen_cpus;
    sixteen_cpus.wrapper = {"env", "LD_PRELOAD=" TESSARAN_CPU_SHIM, "TESSARAN_SHIM_CPUS=16",
                            "TESSARAN_SHIM_PEAK=" + peak};
    struct Row {
        std::vector<std::string> arguments;
        std::string output;
        int exit_status;
        std::string good_after;
        testing_util::Launch launch = {};
        std::string long_after = "";  // what long.xml must hold after, if the row uses it
        Many many = {};
        // "link to NAME": a hard link to NAME, which holds a layout; "a folder": a folder
        const char* work_name_holds = "left by a killed run";
        long peak_kib = 0;  // the run's peak memory must stay under this, if given
        std::vector<std::string> after = {};  // named after the many files
    };
    const Row rows[] = {
        // All converted: silent, status 0; a name given twice is scaled twice.
        {{good}, "", 0, layout_after},
        {{good, good}, "", 0, twice},
        // A link and its target in one run: the file is scaled twice, each time whole.
        {{good, dir / "link"}, "", 0, twice},
        // A hard link pair: each name ends up converted once.
        {{good, dir / "hard.xml"}, "", 0, layout_after},
        // A missing name or a directory is reported, and the others still converted.
        {{dir / "no.xml", good}, dir / "no.xml is not exist!\n", 1, layout_after},
        {{dir / "directory", good}, dir / "directory is can not open!\n", 1, layout_after},
        // Control characters in a name cannot forge a line or reach the terminal.
        {{dir / "x\nok.xml fail!\\", good},
         dir / "x\\nok.xml fail!\\\\ is not exist!\n",
         1,
         layout_after},
        {{dir / "\033]0;x\007", good}, dir / "\\033]0;x\\007 is not exist!\n", 1, layout_after},
        // C1 controls, raw and in UTF-8, and bytes that are not UTF-8; any script as it is.
        {{dir / "\x9b"
                "2J\xc2\x85\xff.xml",
          good},
         dir / "\\2332J\\302\\205\\377.xml is not exist!\n",
         1,
         layout_after},
        {{dir / "café-ü-日本.xml", good}, dir / "café-ü-日本.xml is not exist!\n", 1, layout_after},
        // A backslash is always doubled, so the two characters \n never read as a line feed; line
        // separators and bidirectional controls are escaped too.
        {{dir / "x\\n.xml", good}, dir / "x\\\\n.xml is not exist!\n", 1, layout_after},
        {{dir / "a\u2028b\u202ec\u2069.xml", good},
         dir / "a\\342\\200\\250b\\342\\200\\256c\\342\\201\\251.xml is not exist!\n",
         1,
         layout_after},
        // Format characters, which print as nothing or reorder: a zero-width space, the Arabic
        // letter mark, a byte order mark and a tag; a soft hyphen.
        {{dir / "a\u200b\u061c\ufeff\U000E0041\u00ad.xml", good},
         dir / "a\\342\\200\\213\\330\\234\\357\\273\\277\\363\\240\\201\\201\\302\\255.xml is not "
               "exist!\n",
         1,
         layout_after},
        // This run's own work file, named after its file: one at a time, it is in place already.
        {{good, dir / ".good.xml_bak"}, dir / ".good.xml_bak is not exist!\n", 1, layout_after},
        // A file named like another's work file, named first, or a link to the file under its
        // work name: one at a time, each would be converted before the other looks for leftovers.
        {{dir / ".good.xml_bak", good},
         "",
         0,
         layout_after,
         {},
         "",
         {},
         "<rect>[5,5,5,5]</rect>\n"},
        {{good}, "", 0, layout_after, {}, "", {}, "link to good.xml"},
        {{dir / "other.xml", good}, "", 0, layout_after, {}, "", {}, "link to other.xml"},
        // The work name taken by a folder, and a layout of the user's named later under what
        // could be good.xml's fresh work name: it is no leftover, and is converted in its turn.
        {{good, fresh_named}, "", 0, layout_after, {}, "", {}, "a folder"},
        // Memory does not follow the length of a line: no message is lost, every file converted.
        {{dir / "no.xml", dir / "long.xml", good},
         dir / "no.xml is not exist!\n",
         1,
         layout_after,
         small_memory,
         "\t<rect>[4,4,4,4]</rect>" + long_line + "\n<rect>[8,8,8,8]</rect>\n"},
        // A run's own bookkeeping never fails a file: 16 descriptors for 300 files in 20 folders.
        {{good}, "", 0, layout_after, few_descriptors, "", {300, 20, nullptr, 0}},
        // Room for one work file at a time but not for a batch: each is tried again alone.
        {{good}, "", 0, layout_after, {}, "", {5, 1, "size=2m", 300 * 1024}},
        // An interrupt the caller blocked stays the caller's.
        {{good}, "", 0, layout_after, interrupt_blocked},
        // A 2 GiB hole and a line on a 64 MiB disk: the hole stays a hole.
        {{good}, "", 0, layout_after, {}, "", {1, 0, "size=64m", 0, off_t{2} << 30}},
        // Memory does not follow the number of CPUs either: 16, converting files of 3 MiB.
        {{good},
         "",
         0,
         layout_after,
         sixteen_cpus,
         "",
         {40, 0, "size=200m", 3 << 20},
         "left by a killed run",
         4 << 10},
        // Nor on the number of small files held: 1,100 of them in batches, on 16 CPUs.
        {{good},
         "",
         0,
         layout_after,
         sixteen_cpus,
         "",
         {1100, 2, nullptr, 0, 0, true},
         "left by a killed run",
         4 << 10},
        // A 4 EiB hole: passed in one step, however long, and left a hole.
        {{good}, "", 0, layout_after, {}, "", {1, 0, "size=64m", 0, off_t{4} << 60}},
        // A name settled while a full batch is flushed behind it waits for that batch's messages.
        {{good, dir / "absent-1.xml"},
         dir / "absent-1.xml is not exist!\n" + dir / "absent-2.xml is not exist!\n",
         1,
         layout_after,
         {},
         "",
         {511, 2, nullptr, 0, 0, true},
         "left by a killed run",
         0,
         {dir / "absent-2.xml"}},
    };
    for (const Row& row : rows) {
#ifdef TESSARAN_SANITIZED
        if (row.launch.address_space_limit != RLIM_INFINITY || row.peak_kib != 0) {
            continue;  // the sanitizers reserve more memory than the limit, and come first
        }
#endif
        write_file(good, layout_before);
        write_file(fresh_named, layout_before);
        ::unlink((dir / ".good.xml_bak").c_str());
        ::rmdir((dir / ".good.xml_bak").c_str());
        if (const std::string holds = row.work_name_holds; holds.rfind("link to ", 0) == 0) {
            const std::string linked = dir / holds.substr(8);
            if (linked != good) {
                write_file(linked, "<rect>[5,5,5,5]</rect>\n");
            }
            ::link(linked.c_str(), (dir / ".good.xml_bak").c_str());
        } else if (holds == "a folder") {
            ::mkdir((dir / ".good.xml_bak").c_str(), 0755);
        } else {
            write_file(dir / ".good.xml_bak", row.work_name_holds);
        }
        ::unlink((dir / "hard.xml").c_str());
        ::link(good.c_str(), (dir / "hard.xml").c_str());
        if (!row.long_after.empty()) {
            write_file(dir / "long.xml",
                       "\t<rect>[5,5,5,5]</rect>" + long_line + "\n\t<rect>[10,10,10,10]</rect>\n");
        }
        const std::string content = row.many.file_size == 0
                                        ? layout_before
                                        : testing_util::large_layout(row.many.file_size);
        testing_util::ScratchDir spread;
        if (row.many.tmpfs_size != nullptr &&
            ::mount("tessaran", spread.path().c_str(), "tmpfs", 0, row.many.tmpfs_size) != 0) {
            skips.add("cannot mount a tmpfs here");
            continue;
        }
        std::vector<std::string> arguments = row.arguments;
        const std::string many_in = row.many.beside ? dir / "many" : spread.path();
        ::mkdir(many_in.c_str(), 0755);
        for (const std::string& file : testing_util::layout_files(
                 many_in, row.many.count, content, row.many.folders, row.many.hole)) {
            arguments.push_back(file);
        }
        arguments.insert(arguments.end(), row.after.begin(), row.after.end());
        const auto result = run_tool(arguments, row.launch);
        EXPECT_EQ(result.output, row.output);
        EXPECT_EQ(result.exit_status, row.exit_status);
        EXPECT_EQ(read_file(good), row.good_after);
        EXPECT_TRUE(row.long_after.empty() || read_file(dir / "long.xml") == row.long_after);
        EXPECT_TRUE(row.peak_kib == 0 || std::stol("0" + read_file(peak)) < row.peak_kib)
            << "peak memory " << read_file(peak) << "KiB";
        const std::string converted = row.many.count == 0 ? "" : reference::converted(content);
        for (std::size_t i = row.arguments.size(); i < arguments.size() - row.after.size(); ++i) {
            struct stat status {};
            ::stat(arguments[i].c_str(), &status);
            EXPECT_EQ(status.st_size, row.many.hole + static_cast<off_t>(converted.size()));
            EXPECT_LT(status.st_blocks * 512, static_cast<off_t>(converted.size()) + (1 << 20))
                << "holes written out: " << arguments[i];
            EXPECT_TRUE(read_file(arguments[i], row.many.hole) == converted) << arguments[i];
        }
        ::umount2(spread.path().c_str(), MNT_DETACH);
        std::filesystem::remove_all(dir / "many");
    }
}

// Every row on this machine's disk, and on an ext4 with a journal, where the files after the first
// are converted ahead on every CPU and held in a batch (a disk without a journal takes them one at
// a time).
TEST(CommandLine, ReportsEachFailureAndGoesOn) {
    testing_util::RowSkips skips;
    const testing_util::ScratchDir scratch;
    reports_each_failure_and_goes_on(Place{scratch.path()}, skips);
    const testing_util::ScratchDir top;
    const testing_util::LoopMount disk(top / "disk", testing_util::ext4_with_journal);
    if (disk.mounted()) {
        reports_each_failure_and_goes_on(Place{disk.path()}, skips);
    } else {
        skips.add("cannot mount an ext4 with a journal here");
    }
    skips.report();
}

// The README's folder recipe converts each file of a tree once: a link to a file in the tree, a
// folder whose name matches, and names with spaces and newlines.
TEST(CommandLine, FolderRecipeConvertsEachFileOnce) {
    testing_util::ScratchDir dir;
    const std::string tree = dir / "ui";
    ::mkdir(tree.c_str(), 0755);
    ::mkdir((tree + "/wnd_folder.xml").c_str(), 0755);
    const std::vector<std::string> files = {tree + "/wnd_a b.xml", tree + "/wnd_line\nfeed.xml",
                                            tree + "/wnd_folder.xml/wnd_c.xml"};
    for (const std::string& file : files) {
        write_file(file, layout_before);
    }
    ::symlink("wnd_a b.xml", (tree + "/wnd_link.xml").c_str());
    testing_util::Launch recipe;
    recipe.wrapper = {"sh", "-c", "find \"$1\" -type f -name 'wnd_*.xml' -exec \"$0\" {} +"};
    const auto result = run_tool({tree}, recipe);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.exit_status, 0);
    for (const std::string& file : files) {
        EXPECT_EQ(read_file(file), layout_after) << file;
    }
}

}  // namespace
