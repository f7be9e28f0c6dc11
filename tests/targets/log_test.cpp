#include "host/exception.hpp"
#include "host/log_directory.hpp"
#include "rules/action.hpp"
#include "support/capture.hpp"
#include "support/temp_dir.hpp"
#include "targets/log.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{
using Event = tdPluginProcessor::Event;

// The fake clocks the target reads while a test runs.
struct timespec fake_monotonic;
int fake_monotonic_error;
time_t fake_wall;

int ReadFakeMonotonic(struct timespec *ts)
{
    if (fake_monotonic_error != 0) {
        errno = fake_monotonic_error;
        return -1;
    }
    *ts = fake_monotonic;
    return 0;
}

time_t ReadFakeWall()
{
    return fake_wall;
}

void SetMonotonic(time_t seconds, long nanoseconds = 0)
{
    fake_monotonic = {seconds, nanoseconds};
}

struct FlowSpec {
    const char *lower;
    uint16_t lower_port;
    const char *upper;
    uint16_t upper_port;
    uint8_t origin;
    const char *app;
    uint32_t proto;
};

std::shared_ptr<tdFlow> MakeFlow(const FlowSpec &spec)
{
    auto flow = std::make_shared<tdFlow>();
    tdAddr::Create(flow->lower_addr, spec.lower);
    flow->lower_addr.SetPort(spec.lower_port);
    tdAddr::Create(flow->upper_addr, spec.upper);
    flow->upper_addr.SetPort(spec.upper_port);
    flow->origin = spec.origin;
    flow->detected_application_name = spec.app;
    flow->detected_protocol = spec.proto;
    return flow;
}

const FlowSpec web_flow = {"192.0.2.1", 51000, "198.51.100.7", 443, 1, "tarvix.netflix", 91};

class LogTarget : public ::testing::Test
{
protected:
    void SetUp() override
    {
        saved_clocks = tfaTargetLog::clocks;
        tfaTargetLog::clocks = {ReadFakeMonotonic, ReadFakeWall};
        SetMonotonic(1000);
        fake_monotonic_error = 0;
        fake_wall = 1700000000;
    }

    void TearDown() override { tfaTargetLog::clocks = saved_clocks; }

    std::unique_ptr<tfaAction> MakeAction(const std::string &name)
    {
        return std::make_unique<tfaAction>(
            nullptr, name, 0, "", std::vector<std::unique_ptr<tfaCriteria>>{},
            std::vector<std::unique_ptr<tdTimeOfDay>>{}, no_targets, json(),
            std::vector<std::unique_ptr<tfaExemption>>{}, false);
    }

    std::unique_ptr<tfaTargetLog> MakeTarget(json config)
    {
        config["path"] = dir;
        return std::unique_ptr<tfaTargetLog>(tfaTargetLog::Create("log", config, json()));
    }

    // Hands one flow to the target under an action of the given name.
    static bool Record(tfaTargetLog &target, const std::string &action_name, Event event,
                       const FlowSpec &spec = web_flow)
    {
        tfaAction action(nullptr, action_name, 0, "", {}, {}, no_targets, json(), {}, false);
        auto flow = MakeFlow(spec);
        return target.ProcessFlow(action, event, flow);
    }

    // Files finished since `before` entries of the closed-file record, oldest first.
    static std::vector<std::string> ClosedSince(size_t before)
    {
        auto closed = tdLogDirectory::GetClosedFiles();
        return std::vector<std::string>(closed.begin() + before, closed.end());
    }

    static std::string Read(const std::string &path)
    {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // The one JSON document of a log file, which must end in exactly one newline.
    static json ReadDocument(const std::string &path)
    {
        std::string text = Read(path);
        EXPECT_FALSE(text.empty());
        EXPECT_EQ(text.find('\n'), text.size() - 1) << text;
        return json::parse(text);
    }

    std::vector<std::string> VisibleNames() const
    {
        std::vector<std::string> names;
        for (const auto &entry : fs::directory_iterator(dir))
            names.push_back(entry.path().filename());
        return names;
    }

    static std::unordered_map<std::string, tfaTarget *> no_targets;
    TempDir scratch{"tfa-logtarget"};
    const std::string dir = scratch.path;
    tfaTargetLog::Clocks saved_clocks{};
};

std::unordered_map<std::string, tfaTarget *> LogTarget::no_targets;

TEST_F(LogTarget, WritesThreeEventsAfterInterval)
{
    LogCapture capture;
    auto target = MakeTarget(json::object());
    EXPECT_EQ(target->GetType(), tfaTarget::TT_LOG);
    EXPECT_EQ(target->GetFlags(), 0u);

    const FlowSpec v6_upper_opened = {"2001:db8::1", 53, "2001:db8::2", 40000, 2, "", 5};
    const FlowSpec unknown_origin = {"10.0.0.1", 1234, "10.0.0.2", 80, 0, "tarvix.web", 7};
    auto action = MakeAction("block-video");
    auto flow = MakeFlow(web_flow);
    EXPECT_TRUE(target->ProcessFlow(*action, tdPluginProcessor::EVENT_DPI_COMPLETE, flow));
    EXPECT_EQ(flow.use_count(), 1) << "the flow record must not be kept";
    EXPECT_TRUE(Record(*target, "dns", tdPluginProcessor::EVENT_FLOW_NEW, v6_upper_opened));
    EXPECT_TRUE(Record(*target, "web", Event(1), unknown_origin));
    EXPECT_TRUE(capture.Contains("tfaTargetLog: Unknown origin, assuming lower.\n"));

    size_t before = tdLogDirectory::GetClosedFiles().size();
    SetMonotonic(1059, 999999999);
    target->Tick();
    EXPECT_TRUE(VisibleNames().empty());
    EXPECT_FALSE(capture.Contains("log: writing 3 flow log entries...\n"));

    SetMonotonic(1060);
    fake_wall = 1700000061;
    target->Tick();
    EXPECT_TRUE(capture.Contains("log: writing 3 flow log entries...\n"));
    auto files = ClosedSince(before);
    ASSERT_EQ(files.size(), 1u);
    std::string name = fs::path(files[0]).filename();
    EXPECT_EQ(fs::path(files[0]).parent_path(), dir);
    EXPECT_EQ(name.rfind("tarvix-proc-flow-actions-", 0), 0u) << name;
    EXPECT_EQ(name.substr(name.size() - 5), ".json") << name;
    EXPECT_EQ(VisibleNames(), std::vector<std::string>{name});

    json expected = json::parse(R"({
        "time_start": 1700000000,
        "time_end": 1700000061,
        "entries": [
            {"app_id": "tarvix.netflix", "dst_addr": "198.51.100.7", "dst_port": 443,
             "event": "dpi_complete", "flow_action": "block-video", "proto_id": 91,
             "src_addr": "192.0.2.1"},
            {"app_id": "0.tarvix.unclassified", "dst_addr": "2001:db8::1", "dst_port": 53,
             "event": "flow_new", "flow_action": "dns", "proto_id": 5,
             "src_addr": "2001:db8::2"},
            {"app_id": "tarvix.web", "dst_addr": "10.0.0.2", "dst_port": 80,
             "event": "unknown", "flow_action": "web", "proto_id": 7,
             "src_addr": "10.0.0.1"}
        ]
    })");
    EXPECT_EQ(ReadDocument(files[0]), expected);
}

// Each row records one flow at monotonic time 1000 and checks that the file appears exactly
// when `interval` seconds have passed, in the expected directory ("/tmp" by default) and named
// with the expected prefix and suffix.
TEST_F(LogTarget, KeysFromTypeDefaultsAndTarget)
{
    struct Row {
        const char *label;
        json type_config;
        json target_config;
        int64_t interval;
        std::string directory, prefix, suffix;
    };
    const json in_dir = {{"path", dir}};
    const Row rows[] = {
        {"defaults", json(), json(), 60, "/tmp", "tarvix-proc-flow-actions-", ".json"},
        {"type defaults",
         {{"interval", 5}, {"path", dir}, {"prefix", "t"}, {"suffix", ".x"}},
         json::object(),
         5,
         dir,
         "t-",
         ".x"},
        {"target wins",
         {{"interval", 5}, {"path", "/nonexistent"}, {"prefix", "t"}},
         {{"interval", 2}, {"path", dir}, {"prefix", "own"}},
         2,
         dir,
         "own-",
         ".json"},
        {"boolean interval", in_dir, {{"interval", true}}, 1, dir, "tarvix", ".json"},
        {"fraction dropped", in_dir, {{"interval", 2.7}}, 2, dir, "tarvix", ".json"},
        {"largest interval",
         in_dir,
         {{"interval", 4294967295u}},
         4294967295,
         dir,
         "tarvix",
         ".json"},
        {"zero interval", in_dir, {{"interval", 0}}, 0, dir, "tarvix", ".json"},
        {"empty prefix and suffix",
         in_dir,
         {{"interval", 1}, {"prefix", ""}, {"suffix", ""}},
         1,
         dir,
         "-",
         ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        SetMonotonic(1000);
        std::unique_ptr<tfaTargetLog> target(
            tfaTargetLog::Create("log", row.target_config, row.type_config));
        Record(*target, "a", tdPluginProcessor::EVENT_DPI_NEW);
        size_t before = tdLogDirectory::GetClosedFiles().size();
        if (row.interval != 0) {
            SetMonotonic(1000 + row.interval - 1);
            target->Tick();
            EXPECT_TRUE(ClosedSince(before).empty());
        }
        SetMonotonic(1000 + row.interval);
        target->Tick();
        auto files = ClosedSince(before);
        ASSERT_EQ(files.size(), 1u);
        std::string name = fs::path(files[0]).filename();
        EXPECT_EQ(fs::path(files[0]).parent_path(), row.directory);
        EXPECT_EQ(name.rfind(row.prefix, 0), 0u) << name;
        EXPECT_EQ(name.substr(name.size() - row.suffix.size()), row.suffix) << name;
        fs::remove(files[0]);
    }
}

TEST_F(LogTarget, RefusesBadKeyTypes)
{
    struct Row {
        const char *label;
        json type_config;
        json target_config;
        std::string message;
    };
    const std::string bad_interval = "edge: invalid unsigned parameter type: interval";
    const Row rows[] = {
        {"interval string", json(), {{"interval", "60"}}, bad_interval},
        {"interval in type defaults", {{"interval", "60"}}, {{"interval", 60}}, bad_interval},
        {"interval null", json(), {{"interval", nullptr}}, bad_interval},
        {"interval array", json(), {{"interval", {60}}}, bad_interval},
        {"interval negative", json(), {{"interval", -1}}, bad_interval},
        {"interval negative fraction", json(), {{"interval", -0.5}}, bad_interval},
        {"interval too large", json(), {{"interval", 4294967296LL}}, bad_interval},
        {"path number", json(), {{"path", 5}}, "edge: invalid string parameter type: path"},
        {"prefix bool", json(), {{"prefix", true}}, "edge: invalid string parameter type: prefix"},
        {"suffix null",
         {{"suffix", nullptr}},
         json(),
         "edge: invalid string parameter type: suffix"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        try {
            tfaTargetLog::Create("edge", row.target_config, row.type_config);
            ADD_FAILURE() << "no exception";
        } catch (const tdException &e) {
            EXPECT_EQ(e.what(), row.message);
        }
    }
}

TEST_F(LogTarget, OriginDecidesSource)
{
    struct Row {
        const char *label;
        uint8_t origin;
        std::string src, dst;
        unsigned dst_port;
        bool warned;
    };
    const Row rows[] = {
        {"lower opened", 1, "192.0.2.1", "198.51.100.7", 443, false},
        {"upper opened", 2, "198.51.100.7", "192.0.2.1", 51000, false},
        {"unknown origin", 0, "192.0.2.1", "198.51.100.7", 443, true},
        {"out of range origin", 255, "192.0.2.1", "198.51.100.7", 443, true},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        LogCapture capture;
        FlowSpec spec = web_flow;
        spec.origin = row.origin;
        tfaTargetLogEntry entry("a", tdPluginProcessor::EVENT_DPI_NEW, *MakeFlow(spec));
        std::vector<json> array;
        entry.Append(array);
        ASSERT_EQ(array.size(), 1u);
        EXPECT_EQ(array[0]["src_addr"], row.src);
        EXPECT_EQ(array[0]["dst_addr"], row.dst);
        EXPECT_EQ(array[0]["dst_port"], row.dst_port);
        EXPECT_EQ(capture.Contains("tfaTargetLog: Unknown origin, assuming lower.\n"), row.warned);
    }
}

TEST_F(LogTarget, EventNames)
{
    const std::pair<int, const char *> rows[] = {
        {0, "none"},         {1, "unknown"},    {2, "flow_new"}, {3, "flow_expiring"},
        {4, "flow_expired"}, {5, "flow_intel"}, {6, "dpi_new"},  {7, "dpi_update"},
        {8, "dpi_complete"}, {9, "unknown"},    {13, "unknown"}, {65535, "unknown"},
    };
    auto flow = MakeFlow(web_flow);
    for (const auto &[kind, name] : rows) {
        SCOPED_TRACE(kind);
        std::vector<json> array;
        tfaTargetLogEntry(name, Event(kind), *flow).Append(array);
        EXPECT_EQ(array.at(0)["event"], name);
    }
}

// An interval without entries writes no file, and the next file still starts where the last
// one ended (or at creation).
TEST_F(LogTarget, EmptyIntervalsWriteNothing)
{
    auto target = MakeTarget(json::object());
    size_t before = tdLogDirectory::GetClosedFiles().size();
    struct Step {
        const char *label;
        time_t monotonic, wall;
        bool record;
        json expected; // time_start and time_end of the file written, or null
    };
    const Step steps[] = {
        {"empty first interval", 1060, 1700000060, false, json()},
        {"first file reaches back to creation", 1120, 1700000120, true, {1700000000, 1700000120}},
        {"empty interval", 1180, 1700000180, false, json()},
        {"before the interval", 1230, 1700000230, true, json()},
        {"second file reaches back to the first",
         1240,
         1700000240,
         false,
         {1700000120, 1700000240}},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(step.label);
        if (step.record)
            Record(*target, "a", tdPluginProcessor::EVENT_DPI_NEW);
        SetMonotonic(step.monotonic);
        fake_wall = step.wall;
        target->Tick();
        auto files = ClosedSince(before);
        ASSERT_EQ(files.size(), step.expected.is_null() ? 0u : 1u);
        if (files.empty())
            continue;
        json document = ReadDocument(files[0]);
        EXPECT_EQ(document["time_start"], step.expected[0]);
        EXPECT_EQ(document["time_end"], step.expected[1]);
        EXPECT_EQ(document["entries"].size(), 1u);
        before += files.size();
    }
}

// Only the seconds fields count: 0.2 s across a second boundary is a whole second.
TEST_F(LogTarget, IntervalCountsWholeSeconds)
{
    SetMonotonic(100, 900000000);
    auto target = MakeTarget({{"interval", 1}});
    size_t before = tdLogDirectory::GetClosedFiles().size();
    const struct {
        time_t seconds;
        long nanoseconds;
        size_t files;
    } ticks[] = {{100, 999999999, 0}, {101, 100000000, 1}, {101, 999999999, 1}, {102, 0, 2}};
    for (const auto &tick : ticks) {
        SCOPED_TRACE(tick.seconds * 1000000000LL + tick.nanoseconds);
        Record(*target, "a", tdPluginProcessor::EVENT_DPI_NEW);
        SetMonotonic(tick.seconds, tick.nanoseconds);
        target->Tick();
        EXPECT_EQ(ClosedSince(before).size(), tick.files);
    }
}

// With the real clocks, an interval of 0 writes on every tick that finds entries.
TEST_F(LogTarget, ZeroIntervalWritesEveryTick)
{
    tfaTargetLog::clocks = saved_clocks;
    auto target = MakeTarget({{"interval", 0}});
    size_t before = tdLogDirectory::GetClosedFiles().size();
    for (int i = 0; i < 3; i++) {
        Record(*target, "a" + std::to_string(i), tdPluginProcessor::EVENT_DPI_NEW);
        target->Tick();
        target->Tick();
    }
    auto files = ClosedSince(before);
    ASSERT_EQ(files.size(), 3u);
    for (int i = 0; i < 3; i++) {
        SCOPED_TRACE(i);
        json entries = ReadDocument(files[i])["entries"];
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0]["flow_action"], "a" + std::to_string(i));
    }
}

// Writes into a directory that cannot be used used to drop the batch with only a debug line;
// the batch is kept and written with the next interval's file once the directory is usable,
// and the fault is reported once, at normal level.
TEST_F(LogTarget, UnusableDirectoryKeepsBatchForTheNextFile)
{
    LogCapture capture;
    std::string logs = dir + "/logs";
    ASSERT_TRUE(fs::create_directory(logs));
    std::unique_ptr<tfaTargetLog> target(
        tfaTargetLog::Create("log", {{"path", logs}, {"interval", 1}}, json()));
    fs::remove(logs);
    std::ofstream(logs) << "not a directory";

    Record(*target, "kept1", tdPluginProcessor::EVENT_DPI_NEW);
    Record(*target, "kept2", tdPluginProcessor::EVENT_DPI_NEW);
    size_t before = tdLogDirectory::GetClosedFiles().size();
    for (int second = 1; second <= 2; second++) {
        SetMonotonic(1000 + second);
        fake_wall = 1700000000 + second;
        target->Tick();
    }
    EXPECT_EQ(capture.LogLines(),
              std::vector<std::string>{
                  "log: Error writing log file: Not a directory; 2 entries kept for the next write\n"});
    EXPECT_TRUE(ClosedSince(before).empty());

    fs::remove(logs);
    ASSERT_TRUE(fs::create_directory(logs));
    Record(*target, "kept3", tdPluginProcessor::EVENT_DPI_NEW);
    SetMonotonic(1003);
    fake_wall = 1700000003;
    target->Tick();
    auto files = ClosedSince(before);
    ASSERT_EQ(files.size(), 1u);
    json document = ReadDocument(files[0]);
    EXPECT_EQ(document["time_start"], 1700000000);
    ASSERT_EQ(document["entries"].size(), 3u);
    EXPECT_EQ(document["entries"][2]["flow_action"], "kept3");
}

// Pending entries had no bound: reaching "max_entries" now writes them at once and starts a new
// interval; while writes fail, the oldest make room, so memory stays bounded.
TEST_F(LogTarget, MaxEntriesBoundsPendingEntries)
{
    LogCapture capture;
    std::string logs = dir + "/logs";
    ASSERT_TRUE(fs::create_directory(logs));
    std::unique_ptr<tfaTargetLog> target(tfaTargetLog::Create(
        "log", {{"path", logs}, {"interval", 3600}, {"max_entries", 2}}, json()));
    size_t before = tdLogDirectory::GetClosedFiles().size();
    for (int i = 0; i < 5; i++)
        Record(*target, "a" + std::to_string(i), tdPluginProcessor::EVENT_DPI_NEW);
    auto files = ClosedSince(before);
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(ReadDocument(files[0])["entries"].size(), 2u);
    EXPECT_EQ(ReadDocument(files[1])["entries"][1]["flow_action"], "a3");

    fs::remove_all(logs);
    for (int i = 5; i < 9; i++)
        Record(*target, "a" + std::to_string(i), tdPluginProcessor::EVENT_DPI_NEW);
    ASSERT_TRUE(fs::create_directory(logs));
    target.reset();
    files = ClosedSince(before);
    ASSERT_EQ(files.size(), 3u);
    json entries = ReadDocument(files[2])["entries"];
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1]["flow_action"], "a8");
    EXPECT_TRUE(capture.Contains("log: 2 log entries pending; dropping the oldest until a write "
                                 "succeeds\n"));
}

// A "/" in the prefix or suffix, or a NUL byte in any name, was found only when a file was
// opened (every batch dropped; a NUL hung the file creation): it is refused at load.
TEST_F(LogTarget, UnwritableNamesAreRefusedAtLoad)
{
    struct Row {
        const char *key;
        std::string value;
        std::string fault;
    };
    const Row rows[] = {
        {"prefix", "a/b", "log: invalid prefix: contains \"/\""},
        {"suffix", "/.json", "log: invalid suffix: contains \"/\""},
        {"prefix", std::string("a\0b", 3), "log: invalid prefix: contains a NUL byte"},
        {"suffix", std::string(".js\0n", 5), "log: invalid suffix: contains a NUL byte"},
        {"path", std::string("/tmp\0x", 6), "log: invalid path: contains a NUL byte"},
        {"max_entries", "", "log: max_entries invalid; < 1"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.fault);
        json config = {{row.key, row.value}};
        if (row.value.empty())
            config[row.key] = 0;
        try {
            tfaTargetLog::Create("log", config, json());
            ADD_FAILURE() << "accepted";
        } catch (const tdException &e) {
            EXPECT_EQ(e.what(), row.fault);
        }
    }
}

// A watcher reading the directory while large files are written only ever finds whole
// documents under a final name.
TEST_F(LogTarget, NeverVisibleHalfWritten)
{
    tfaTargetLog::clocks = saved_clocks;
    auto target = MakeTarget({{"interval", 0}});
    std::atomic<bool> done{false};
    std::atomic<int> checked{0};
    std::thread watcher([&] {
        while (!done) {
            for (const auto &entry : fs::directory_iterator(dir)) {
                std::string name = entry.path().filename();
                if (name[0] == '.')
                    continue;
                std::string text = Read(entry.path());
                ASSERT_FALSE(text.empty()) << name;
                ASSERT_EQ(text.back(), '\n') << name;
                ASSERT_NO_THROW(json::parse(text)) << name;
                checked++;
            }
        }
    });
    for (int file = 0; file < 20; file++) {
        for (int i = 0; i < 300; i++)
            Record(*target, "bulk", tdPluginProcessor::EVENT_DPI_UPDATE);
        target->Tick();
    }
    done = true;
    watcher.join();
    EXPECT_GT(checked, 0);
    EXPECT_EQ(VisibleNames().size(), 20u);
}

TEST_F(LogTarget, DestroyWritesPendingEntries)
{
    size_t before = tdLogDirectory::GetClosedFiles().size();
    MakeTarget(json::object()).reset();
    EXPECT_TRUE(ClosedSince(before).empty());

    auto target = MakeTarget(json::object());
    Record(*target, "pending", tdPluginProcessor::EVENT_FLOW_EXPIRED);
    fake_wall = 1700000030;
    target.reset();
    auto files = ClosedSince(before);
    ASSERT_EQ(files.size(), 1u);
    json document = ReadDocument(files[0]);
    EXPECT_EQ(document["time_end"], 1700000030);
    ASSERT_EQ(document["entries"].size(), 1u);
    EXPECT_EQ(document["entries"][0]["event"], "flow_expired");
}

TEST_F(LogTarget, ClockFailureThrows)
{
    const std::string message = "log: clock_gettime: Invalid argument";
    auto target = MakeTarget({{"interval", 0}});
    fake_monotonic_error = EINVAL;
    for (const char *where : {"Create", "Tick"}) {
        SCOPED_TRACE(where);
        try {
            if (std::string(where) == "Create")
                MakeTarget(json::object());
            else
                target->Tick();
            ADD_FAILURE() << "no exception";
        } catch (const tdException &e) {
            EXPECT_EQ(e.what(), message);
        }
    }
}
} // namespace
