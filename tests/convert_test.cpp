// Converting real files on disk: names, places, leftovers, faults, metadata, links and types.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "convert.hpp"
#include "test_util.hpp"

using tessaran::Outcome;
using testing_util::layout_after;
using testing_util::layout_before;
using testing_util::list_dir;
using testing_util::read_file;
using testing_util::write_file;

namespace {

class ConvertTest : public ::testing::Test {
  protected:
    Outcome convert(const std::string& path) { return converter.convert(path.c_str()); }
    std::vector<std::string> names(const std::string& directory = "") const {
        return list_dir(directory.empty() ? dir.path() : dir / directory);
    }

    testing_util::ScratchDir dir;
    tessaran::HeldSignals signals;
    tessaran::Converter converter{signals};
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
}

TEST_F(ConvertTest, LeftoverWorkFileOrPlantedLinkIsReplaced) {
    write_file(dir / "victim", "precious");
    const auto stale_file = [&] { write_file(dir / ".a.xml_bak", "stale content\n"); };
    const auto planted_link = [&] { ::symlink("victim", (dir / ".a.xml_bak").c_str()); };
    for (const std::function<void()>& leave_behind :
         {std::function<void()>(stale_file), std::function<void()>(planted_link)}) {
        write_file(dir / "a.xml", layout_before);
        leave_behind();
        EXPECT_EQ(convert(dir / "a.xml"), Outcome::converted);
        EXPECT_EQ(read_file(dir / "a.xml"), layout_after);
        EXPECT_EQ(read_file(dir / "victim"), "precious");
        EXPECT_EQ(names(), (std::vector<std::string>{"a.xml", "victim"}));
    }
}

TEST_F(ConvertTest, KeepsModeOwnerAndGroup) {
    const bool root = ::geteuid() == 0;
    for (const mode_t mode : {0644, 0600, 0444, 04755, 02750, 01700}) {
        write_file(dir / "a.xml", layout_before);
        ::chmod((dir / "a.xml").c_str(), mode);
        if (root) {
            EXPECT_EQ(::chown((dir / "a.xml").c_str(), 1234, 5678), 0);
            ::chmod((dir / "a.xml").c_str(), mode);  // chown cleared the set-id bits
        }
        EXPECT_EQ(convert(dir / "a.xml"), Outcome::converted);
        struct stat status {};
        ASSERT_EQ(::stat((dir / "a.xml").c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, mode) << std::oct << mode;
        if (root) {
            EXPECT_EQ(status.st_uid, 1234u);
            EXPECT_EQ(status.st_gid, 5678u);
        }
        ::unlink((dir / "a.xml").c_str());
    }
}

TEST_F(ConvertTest, SymbolicLinkStaysALink) {
    ::mkdir((dir / "real").c_str(), 0755);
    write_file(dir / "real/a.xml", layout_before);
    ::symlink("real/a.xml", (dir / "link").c_str());
    ::symlink((dir / "link").c_str(), (dir / "link_to_link").c_str());
    EXPECT_EQ(convert(dir / "link_to_link"), Outcome::converted);
    EXPECT_EQ(read_file(dir / "real/a.xml"), layout_after);
    EXPECT_EQ(names(), (std::vector<std::string>{"link", "link_to_link", "real"}));
    EXPECT_EQ(names("real"), std::vector<std::string>{"a.xml"});
    struct stat status {};
    EXPECT_EQ(::lstat((dir / "link_to_link").c_str(), &status), 0);
    EXPECT_TRUE(S_ISLNK(status.st_mode));
}

TEST_F(ConvertTest, OnlyExistingRegularFilesAreOpened) {
    write_file(dir / "a.xml", layout_before);
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
    };
    for (const auto& [path, outcome] : rows) {
        EXPECT_EQ(convert(path), outcome) << path;
    }
    EXPECT_EQ(read_file(dir / "a.xml"), layout_before);
}

TEST_F(ConvertTest, LongUnchangedStartIsCopiedWhole) {
    // Longer than one block, so the start that needs no change is copied in several pieces.
    std::string start;
    for (int i = 0; start.size() < 1200 * 1024; ++i) {
        start += "\t<text>line " + std::to_string(i) + "</text>\n";
    }
    write_file(dir / "a.xml", start + "\t<rect>[5,5,5,5]</rect>\n<end/>");
    EXPECT_EQ(convert(dir / "a.xml"), Outcome::converted);
    EXPECT_EQ(read_file(dir / "a.xml"), start + "<rect>[4,4,4,4]</rect>\n<end/>");
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
