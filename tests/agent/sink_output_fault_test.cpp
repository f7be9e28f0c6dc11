#include "agent/sink_output.hpp"
#include "support/capture.hpp"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>
#include <zlib.h>

namespace
{
using Flags = tdFlags<tdPlugin::DispatchFlags>;
namespace fs = std::filesystem;

constexpr uint8_t HEADER_AND_GZIP = 0x38;
constexpr size_t PADDING = 150;

json Numbered(int n)
{
    return {{"type", "flow"}, {"n", n}, {"pad", std::string(PADDING, 'x')}};
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Inflate(const std::string &member)
{
    z_stream zs{};
    EXPECT_EQ(inflateInit2(&zs, 15 + 16), Z_OK);
    std::string out(64 * 1024, '\0');
    zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(member.data()));
    zs.avail_in = static_cast<uInt>(member.size());
    zs.next_out = reinterpret_cast<Bytef *>(&out[0]);
    zs.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(inflate(&zs, Z_FINISH), Z_STREAM_END);
    EXPECT_EQ(zs.avail_in, 0u) << "one member per frame";
    out.resize(zs.total_out);
    inflateEnd(&zs);
    return out;
}

// The "n" of every record of a JSON-lines file; a merged or cut line fails to parse.
std::vector<int> ReadLines(const std::string &bytes)
{
    std::vector<int> numbers;
    std::istringstream in(bytes);
    std::string line;
    while (std::getline(in, line))
        numbers.push_back(json::parse(line).at("n").get<int>());
    EXPECT_TRUE(bytes.empty() || bytes.back() == '\n') << "the file ends with a whole line";
    return numbers;
}

// The "n" of every frame of a length-header stream of gzip members.
std::vector<int> ReadFrames(const std::string &bytes)
{
    std::vector<int> numbers;
    size_t at = 0;
    while (at < bytes.size()) {
        if (at + tdSinkOutput::HEADER_SIZE > bytes.size()) {
            ADD_FAILURE() << "header cut short at " << at;
            break;
        }
        size_t length = 0;
        for (size_t i = 0; i < tdSinkOutput::HEADER_SIZE; i++)
            length = length << 8 | static_cast<uint8_t>(bytes[at + i]);
        at += tdSinkOutput::HEADER_SIZE;
        if (at + length > bytes.size()) {
            ADD_FAILURE() << "frame cut short at " << at;
            break;
        }
        numbers.push_back(json::parse(Inflate(bytes.substr(at, length))).at("n").get<int>());
        at += length;
    }
    return numbers;
}

struct Format {
    const char *name;
    Flags flags;
    std::function<std::vector<int>(const std::string &)> read;
};

const Format formats[] = {
    {"json lines", tdPlugin::DF_FORMAT_JSON, ReadLines},
    {"header and gzip",
     Flags::FromBits(
         static_cast<uint8_t>(Flags(tdPlugin::DF_FORMAT_JSON).GetBits() | HEADER_AND_GZIP)),
     ReadFrames},
    {"objects, streamed as lines", tdPlugin::DF_FORMAT_OBJECT, ReadLines},
};

// What survived a fault: the records not counted lost, whole and in order.
void ExpectWholeRecords(const tdSinkOutput &output, const std::vector<int> &numbers)
{
    ASSERT_GT(output.GetFailures(), 0u) << "the fault never struck";
    EXPECT_EQ(numbers.size(), output.GetPayloads() - output.GetFailures());
    for (size_t i = 1; i < numbers.size(); i++)
        EXPECT_LT(numbers[i - 1], numbers[i]);
    EXPECT_EQ(numbers.back(), static_cast<int>(output.GetPayloads()) - 1)
        << "written after it cleared";
}

// Writes past `bytes` are cut short and then fail with EFBIG, as on a disk that fills.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &saved);
        previous = signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &saved);
        signal(SIGXFSZ, previous);
    }

private:
    rlimit saved;
    void (*previous)(int);
};

class SinkOutputFaults : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/tfa-sink-fault-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string dir;
};

TEST_F(SinkOutputFaults, ShortWriteIsCutBackToTheLastRecord)
{
    constexpr rlim_t limit = 4000;
    constexpr int during = 200, after = 5;
    for (const auto &format : formats) {
        SCOPED_TRACE(format.name);
        LogCapture capture;
        const std::string path = dir + "/" + format.name;
        auto output = tdSinkOutput::Open("events", path);
        int n = 0;
        {
            FileSizeLimit fault(limit);
            while (n < during)
                output->Deliver(Numbered(n++), format.flags);
        }
        while (n < during + after)
            output->Deliver(Numbered(n++), format.flags);

        ExpectWholeRecords(*output, format.read(ReadFile(path)));
        EXPECT_EQ(output->GetLosses(),
                  (std::map<std::string, uint64_t>{{strerror(EFBIG), output->GetFailures()}}));
        EXPECT_EQ(capture.LogLines(),
                  std::vector<std::string>{"events: " + path + ": " + strerror(EFBIG) +
                                           ": records are lost until it clears\n"});
    }
}

// A real file system that fills up and frees again. Mounting needs root; the mount is undone in
// TearDown.
class SinkOutputFullDisk : public SinkOutputFaults
{
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "mounting a small tmpfs needs root";
        SinkOutputFaults::SetUp();
        if (mount("tfa-sink-test", dir.c_str(), "tmpfs", 0, "size=64k") != 0)
            GTEST_SKIP() << "cannot mount a tmpfs on " << dir << ": " << strerror(errno);
        mounted = true;
    }
    void TearDown() override
    {
        if (mounted)
            umount2(dir.c_str(), MNT_DETACH);
        if (!dir.empty())
            SinkOutputFaults::TearDown();
    }

    bool mounted = false;
};

TEST_F(SinkOutputFullDisk, StreamsStayReadableAfterTheDiskFreesAgain)
{
    constexpr int most = 2000, after = 5;
    for (const auto &format : formats) {
        SCOPED_TRACE(format.name);
        const std::string filler = dir + "/filler";
        std::ofstream(filler) << std::string(16 * 1024, 'f');
        const std::string path = dir + "/" + format.name;
        LogCapture capture;
        auto output = tdSinkOutput::Open("events", path);
        int n = 0;
        while (n < most && output->GetFailures() < 3)
            output->Deliver(Numbered(n++), format.flags);
        fs::remove(filler);
        const int resumed = n;
        while (n < resumed + after)
            output->Deliver(Numbered(n++), format.flags);

        ExpectWholeRecords(*output, format.read(ReadFile(path)));
        EXPECT_EQ(output->GetLosses(),
                  (std::map<std::string, uint64_t>{{strerror(ENOSPC), output->GetFailures()}}));
        output.reset();
        fs::remove(path);
    }
}
} // namespace
