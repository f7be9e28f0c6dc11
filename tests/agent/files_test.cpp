#include "agent/files.hpp"
#include "host/files.hpp"
#include "support/temp_dir.hpp"

#include <cerrno>
#include <filesystem>
#include <gtest/gtest.h>

namespace
{
namespace fs = std::filesystem;

class Files : public ::testing::Test
{
protected:
    std::string Write(const std::string &name, const std::string &content = "x")
    {
        return scratch.Write(name, content);
    }

    TempDir scratch{"tfa-files"};
    const std::string dir = scratch.path;
};

TEST_F(Files, Exists)
{
    std::string file = Write("file");
    fs::create_directory(dir + "/sub");
    fs::create_symlink(file, dir + "/link");
    fs::create_symlink(dir + "/sub", dir + "/dirlink");
    fs::create_symlink(dir + "/gone", dir + "/dangling");
    struct Row {
        const char *name;
        std::string path;
        int file;
        int directory;
    };
    const Row rows[] = {
        {"regular file", file, 1, 0},
        {"directory", dir + "/sub", 0, 1},
        {"missing", dir + "/missing", 0, 0},
        {"link to a file", dir + "/link", 1, 0},
        {"link to a directory", dir + "/dirlink", 0, 1},
        {"dangling link", dir + "/dangling", 0, 0},
        {"path through a file", file + "/below", 0, 0},
        {"empty path", "", 0, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(td_file_exists(row.path), row.file);
        EXPECT_EQ(td_dir_exists(row.path), row.directory);
    }
}

TEST_F(Files, ScanDotdListsRegularFilesSortedWithoutHidden)
{
    Write("20-b.conf");
    Write("10-a.conf");
    Write("B-upper");
    Write(".hidden");
    Write("a-lower");
    fs::create_directory(dir + "/30-subdir");
    fs::create_symlink(dir + "/10-a.conf", dir + "/15-link");
    fs::create_symlink(dir + "/gone", dir + "/16-dangling");

    std::vector<std::string> files = {"stale"};
    ASSERT_TRUE(td_scan_dotd(dir, files));
    EXPECT_EQ(files, (std::vector<std::string>{"10-a.conf", "15-link", "20-b.conf", "B-upper",
                                               "a-lower"}));
}

TEST_F(Files, ScanDotdFailures)
{
    std::vector<std::string> files = {"stale"};
    EXPECT_FALSE(td_scan_dotd(dir + "/missing", files));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(files.empty());

    files = {"stale"};
    EXPECT_FALSE(td_scan_dotd(Write("plain"), files));
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_TRUE(files.empty());

    fs::create_directory(dir + "/empty");
    EXPECT_TRUE(td_scan_dotd(dir + "/empty", files));
    EXPECT_TRUE(files.empty());
}

TEST_F(Files, ReadFile)
{
    std::string binary("a\0b\nc", 5);
    std::string big(100000, 'z');
    std::string data = "stale";
    ASSERT_TRUE(td_read_file(Write("binary", binary), data));
    EXPECT_EQ(data, binary);
    ASSERT_TRUE(td_read_file(Write("big", big), data));
    EXPECT_EQ(data, big);
    ASSERT_TRUE(td_read_file(Write("empty", ""), data));
    EXPECT_EQ(data, "");

    struct Row {
        const char *name;
        std::string path;
        int error;
    };
    const Row rows[] = {
        {"missing", dir + "/missing", ENOENT},
        {"directory", dir, EISDIR},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        data = "stale";
        EXPECT_FALSE(td_read_file(row.path, data));
        EXPECT_EQ(errno, row.error);
        EXPECT_EQ(data, "");
    }
}
} // namespace
