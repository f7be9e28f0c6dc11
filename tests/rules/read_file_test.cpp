#include "rules/read_file.hpp"

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
namespace fs = std::filesystem;

constexpr size_t LIMIT = 16;

class ReadFile : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/tfa-read-file-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string dir;
};

// Files that must be refused with the reason, each a reproduction of a hang or of memory eaten.
TEST_F(ReadFile, OnlyRegularFilesWithinTheLimit)
{
    const std::string fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::ofstream(dir + "/small") << "{\"a\": 1}";
    std::ofstream(dir + "/large") << std::string(LIMIT + 1, ' ');
    struct Row {
        std::string path;
        std::string error;
        std::string text;
    };
    const Row rows[] = {
        {dir + "/small", "", "{\"a\": 1}"},
        {dir + "/large", "larger than 16 bytes", ""},
        {dir + "/missing", "No such file or directory", ""},
        {dir, "Is a directory", ""},
        {fifo, "not a regular file", ""},
        {"/dev/zero", "not a regular file", ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.path);
        std::string text = "left over";
        // A read that blocks on the FIFO is freed by a writer, so the test ends either way.
        auto result =
            std::async(std::launch::async, [&]() { return tfaReadFile(row.path, LIMIT, text); });
        if (result.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            close(open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
            ADD_FAILURE() << "blocked";
        }
        EXPECT_EQ(result.get(), row.error);
        EXPECT_EQ(text, row.text);
    }
}
} // namespace
