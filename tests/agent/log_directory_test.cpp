#include "host/log_directory.hpp"
#include "support/temp_dir.hpp"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{
const char prefix[] = "test-";
const char suffix[] = ".log";

class LogDirectory : public ::testing::Test
{
protected:
    std::vector<std::string> Names() const
    {
        std::vector<std::string> names;
        for (const auto &entry : fs::directory_iterator(dir))
            names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

    static std::string Read(const fs::path &path)
    {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    static void Write(const fs::path &path, const std::string &text)
    {
        std::ofstream(path) << text;
    }

    static std::string Stamp(time_t when)
    {
        struct tm tm {
        };
        gmtime_r(&when, &tm);
        char text[32];
        strftime(text, sizeof(text), "%Y%m%dT%H%M%SZ", &tm);
        return text;
    }

    TempDir scratch{"tfa-logdir"};
    const std::string dir = scratch.path;
};

TEST_F(LogDirectory, GeneratedNameAndContent)
{
    tdLogDirectory log_dir(dir, prefix, suffix, false);
    FILE *file = log_dir.Open("");
    ASSERT_NE(file, nullptr);
    fputs("{\"a\":1}\n", file);
    ASSERT_TRUE(log_dir.Close());

    auto names = Names();
    ASSERT_EQ(names.size(), 1u);
    EXPECT_TRUE(std::regex_match(names[0], std::regex(R"(test-\d{8}T\d{6}Z-\d+\.log)")))
        << names[0];
    EXPECT_EQ(Read(fs::path(dir) / names[0]), "{\"a\":1}\n");

    auto closed = tdLogDirectory::GetClosedFiles();
    EXPECT_NE(std::find(closed.begin(), closed.end(), dir + "/" + names[0]), closed.end());
}

TEST_F(LogDirectory, HiddenUntilClosed)
{
    tdLogDirectory log_dir(dir, prefix, suffix, false);
    FILE *file = log_dir.Open("");
    ASSERT_NE(file, nullptr);
    fputs("half a docu", file);
    fflush(file);

    auto names = Names();
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0][0], '.') << names[0];
    EXPECT_NE(names[0].substr(names[0].size() - 4), suffix) << names[0];

    fputs("ment\n", file);
    ASSERT_TRUE(log_dir.Close());
    names = Names();
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].rfind(prefix, 0), 0u) << names[0];
    EXPECT_EQ(Read(fs::path(dir) / names[0]), "half a document\n");
}

// Names of the current and the next seconds already exist; none of them may be replaced.
TEST_F(LogDirectory, NeverReplacesExistingFile)
{
    time_t now = time(nullptr);
    std::vector<std::string> taken;
    for (time_t second = now; second <= now + 2; second++)
        for (int sequence = 0; sequence < 2; sequence++) {
            taken.push_back(std::string(prefix) + Stamp(second) + "-" + std::to_string(sequence) +
                            suffix);
            Write(fs::path(dir) / taken.back(), "keep");
        }

    tdLogDirectory log_dir(dir, prefix, suffix, false);
    for (int i = 0; i < 3; i++) {
        FILE *file = log_dir.Open("");
        ASSERT_NE(file, nullptr);
        fprintf(file, "new %d", i);
        ASSERT_TRUE(log_dir.Close());
    }

    for (const auto &name : taken) {
        SCOPED_TRACE(name);
        EXPECT_EQ(Read(fs::path(dir) / name), "keep");
    }
    EXPECT_EQ(Names().size(), taken.size() + 3);
}

TEST_F(LogDirectory, OpenFailures)
{
    std::string file_path = dir + "/plain-file";
    Write(file_path, "x");
    struct Row {
        const char *label;
        std::string path, prefix, name, suffix;
        int error;
    };
    const Row rows[] = {
        {"missing directory", dir + "/missing", prefix, "", suffix, ENOENT},
        {"directory is a file", file_path, prefix, "", suffix, ENOTDIR},
        {"slash in prefix", dir, "sub/x-", "", suffix, EINVAL},
        {"slash in name", dir, prefix, "../escape", suffix, EINVAL},
        {"slash in suffix", dir, prefix, "", "/.log", EINVAL},
        {"NUL in path", dir + std::string("\0/elsewhere", 11), prefix, "", suffix, EINVAL},
        {"NUL in prefix", dir, std::string("a\0b", 3), "", suffix, EINVAL},
        {"NUL in name", dir, prefix, std::string("a\0b", 3), suffix, EINVAL},
        {"NUL in suffix", dir, prefix, "", std::string(".log\0", 5), EINVAL},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        tdLogDirectory log_dir(row.path, row.prefix, row.suffix, false);
        errno = 0;
        EXPECT_EQ(log_dir.Open(row.name), nullptr);
        EXPECT_EQ(errno, row.error);
        errno = 0;
        EXPECT_FALSE(log_dir.Close());
        EXPECT_EQ(errno, EBADF);
    }
    EXPECT_EQ(Names(), std::vector<std::string>{"plain-file"});
}

// Every temporary name this process can pick next is taken: Open gives up instead of retrying
// forever, and no leftover is touched.
TEST_F(LogDirectory, CreateRetriesAreBounded)
{
    constexpr int taken = 2000;
    const std::string temp_prefix = "." + std::string(prefix) + std::to_string(getpid()) + "-";
    for (int counter = 0; counter < taken; counter++)
        Write(fs::path(dir) / (temp_prefix + std::to_string(counter) + ".tmp"), "keep");

    tdLogDirectory log_dir(dir, prefix, suffix, false);
    errno = 0;
    EXPECT_EQ(log_dir.Open(""), nullptr);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(Names().size(), static_cast<size_t>(taken));
    EXPECT_EQ(Read(fs::path(dir) / (temp_prefix + "0.tmp")), "keep");
}

TEST_F(LogDirectory, FixedName)
{
    struct Row {
        const char *label;
        bool overwrite;
        bool closed;
        std::string content;
    };
    const Row rows[] = {
        {"kept without overwrite", false, false, "old"},
        {"replaced with overwrite", true, true, "new"},
    };
    const fs::path final_path = fs::path(dir) / "test-fixed.log";
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        Write(final_path, "old");
        tdLogDirectory log_dir(dir, prefix, suffix, row.overwrite);
        FILE *file = log_dir.Open("fixed");
        ASSERT_NE(file, nullptr);
        fputs("new", file);
        errno = 0;
        EXPECT_EQ(log_dir.Close(), row.closed);
        if (!row.closed) {
            EXPECT_EQ(errno, EEXIST);
        }
        EXPECT_EQ(Read(final_path), row.content);
        EXPECT_EQ(Names(), std::vector<std::string>{"test-fixed.log"});
    }
}

TEST_F(LogDirectory, UnfinishedFileIsDiscarded)
{
    {
        tdLogDirectory log_dir(dir, prefix, suffix, false);
        ASSERT_NE(log_dir.Open(""), nullptr);
        FILE *file = log_dir.Open("");
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(Names().size(), 1u);
        fputs("second", file);
        ASSERT_TRUE(log_dir.Close());
        ASSERT_NE(log_dir.Open(""), nullptr);
    }
    auto names = Names();
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(Read(fs::path(dir) / names[0]), "second");
}

TEST_F(LogDirectory, EmptyPathIsCurrentDirectory)
{
    fs::path previous = fs::current_path();
    fs::current_path(dir);
    tdLogDirectory log_dir("", prefix, suffix, false);
    FILE *file = log_dir.Open("here");
    bool closed = file != nullptr && log_dir.Close();
    fs::current_path(previous);
    EXPECT_TRUE(closed);
    EXPECT_EQ(Names(), std::vector<std::string>{"test-here.log"});
}

// Several writers share one directory and prefix: every file gets its own name, and every
// closed path is recorded.
TEST_F(LogDirectory, ConcurrentWriters)
{
    constexpr int writers = 4, files_each = 20;
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; w++)
        threads.emplace_back([this, w] {
            tdLogDirectory log_dir(dir, prefix, suffix, false);
            for (int i = 0; i < files_each; i++) {
                FILE *file = log_dir.Open("");
                ASSERT_NE(file, nullptr);
                fprintf(file, "%d-%d", w, i);
                ASSERT_TRUE(log_dir.Close());
            }
        });
    for (auto &thread : threads)
        thread.join();

    std::vector<std::string> contents;
    for (const auto &name : Names())
        contents.push_back(Read(fs::path(dir) / name));
    EXPECT_EQ(contents.size(), static_cast<size_t>(writers * files_each));
    std::sort(contents.begin(), contents.end());
    EXPECT_EQ(std::unique(contents.begin(), contents.end()), contents.end());

    auto closed = tdLogDirectory::GetClosedFiles();
    for (const auto &name : Names()) {
        SCOPED_TRACE(name);
        EXPECT_NE(std::find(closed.begin(), closed.end(), dir + "/" + name), closed.end());
    }
}
} // namespace
