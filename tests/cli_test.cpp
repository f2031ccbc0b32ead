// The command line as a user meets it: messages, exit statuses, order of files.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <sys/stat.h>

#include "test_util.hpp"

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

TEST(CommandLine, ReportsEachFailureAndGoesOn) {
    testing_util::ScratchDir dir;
    const std::string good = dir / "good.xml";
    ::mkdir((dir / "directory").c_str(), 0755);
    // A line far longer than any buffer, to be converted within a small address space.
    const std::string long_line = std::string(64 * 1024 * 1024, 'a');
    testing_util::Launch small_memory;
    small_memory.address_space_limit = 48 * 1024 * 1024;
    struct Row {
        std::vector<std::string> arguments;
        std::string output;
        int exit_status;
        std::string good_after;
        testing_util::Launch launch;
        std::string long_after;  // what long.xml must hold after, if the row uses it
    };
    const Row rows[] = {
        // All converted: silent, status 0; a name given twice is scaled twice.
        {{good}, "", 0, layout_after, {}, ""},
        {{good, good}, "", 0, twice, {}, ""},
        // A missing name or a directory is reported, and the others still converted.
        {{dir / "no.xml", good}, dir / "no.xml is not exist!\n", 1, layout_after, {}, ""},
        {{dir / "directory", good}, dir / "directory is can not open!\n", 1, layout_after, {}, ""},
        // Memory does not follow the length of a line: no message is lost, every file converted.
        {{dir / "no.xml", dir / "long.xml", good},
         dir / "no.xml is not exist!\n",
         1,
         layout_after,
         small_memory,
         "\t<rect>[4,4,4,4]</rect>" + long_line + "\n<rect>[8,8,8,8]</rect>\n"},
    };
    for (const Row& row : rows) {
#ifdef TESSARAN_SANITIZED
        if (row.launch.address_space_limit != RLIM_INFINITY) {
            continue;  // the sanitizers reserve more address space than the limit
        }
#endif
        write_file(good, layout_before);
        if (!row.long_after.empty()) {
            write_file(dir / "long.xml",
                       "\t<rect>[5,5,5,5]</rect>" + long_line + "\n\t<rect>[10,10,10,10]</rect>\n");
        }
        const auto result = run_tool(row.arguments, row.launch);
        EXPECT_EQ(result.output, row.output);
        EXPECT_EQ(result.exit_status, row.exit_status);
        EXPECT_EQ(read_file(good), row.good_after);
        EXPECT_TRUE(row.long_after.empty() || read_file(dir / "long.xml") == row.long_after);
    }
}

}  // namespace
