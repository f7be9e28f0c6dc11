// The replay host against a small plug-in that logs what its worker does, in order.
#include "host/flow.hpp"
#include "support/capture.hpp"
#include "tools/replay/event_reader.hpp"
#include "tools/replay/replay_host.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <gtest/gtest.h>
#include <iterator>
#include <map>
#include <sstream>
#include <thread>

namespace
{
using Event = tdPluginProcessor::Event;

// Keeps the worker's contract that the replay host relies on: intake queues kinds 4, 5, 6 and 8
// under the thread lock; each pass applies a reload, then ticks, then an update, then takes the
// whole queue under the thread lock, the pass's only use of it; the status reports and resets the
// taken count; a reload zeroes the last batch size; a flow-map event after a reload with
// reprocessing on queues every classified flow again. Each event takes `process_time` to process.
class RecordingPlugin : public tdPluginProcessor
{
public:
    explicit RecordingPlugin(bool reprocess,
                             std::chrono::milliseconds process_time = std::chrono::milliseconds(0))
        : tdPluginProcessor("rec", {}), reprocess(reprocess), process_time(process_time)
    {
    }
    ~RecordingPlugin() override
    {
        Terminate();
        Join();
    }

    void GetLibrary(std::string &) override {}
    void GetName(std::string &) override {}
    void GetVersion(std::string &) override {}

    void GetStatus(json &status) override
    {
        status["flows"] = flows.exchange(0);
        status["flows_queued"] = flows_queued.load();
    }
    void DispatchEvent(tdPlugin::Event event, void *) override
    {
        reprocess_pending = reprocess;
        reload_pending = true;
    }
    void DispatchProcessorEvent(Event event, std::shared_ptr<tdFlow> &flow) override
    {
        if (event == EVENT_FLOW_EXPIRED || event == EVENT_DPI_NEW || event == EVENT_DPI_COMPLETE)
            Queue(event, flow);
    }
    void DispatchProcessorEvent(Event event, std::shared_ptr<tdFlow> &flow, json &) override
    {
        if (event == EVENT_FLOW_INTEL)
            Queue(event, flow);
    }
    void DispatchProcessorEvent(Event event, tdFlowMap *map) override
    {
        if (event != EVENT_FLOW_MAP || !reprocess_pending.exchange(false))
            return;
        for (size_t i = 0; i < map->GetBuckets(); i++) {
            for (auto &entry : map->Acquire(i))
                if (entry.second->detection_complete)
                    Queue(EVENT_DPI_COMPLETE, entry.second);
            map->Release(i);
        }
    }
    void DispatchProcessorEvent(Event event) override
    {
        if (event == EVENT_UPDATE) {
            updates_delivered++;
            update_pending = true;
        }
    }

    void *Entry() override
    {
        while (!ShouldTerminate()) {
            if (reload_pending.exchange(false)) {
                flows_queued = 0;
                Record("reload");
            }
            Tick();
            if (update_pending.exchange(false))
                Record("update");
            std::deque<std::pair<Event, uint64_t>> batch;
            Lock();
            if (!held)
                batch.swap(queue);
            flows += batch.size();
            if (!batch.empty())
                flows_queued = batch.size();
            Unlock();
            if (batch.empty())
                std::this_thread::sleep_for(IDLE_WAIT);
            for (const auto &entry : batch) {
                std::this_thread::sleep_for(process_time);
                Record(std::to_string(entry.first) + ":" + std::to_string(entry.second));
                processed++;
            }
        }
        return nullptr;
    }

    // While held, the worker takes nothing from its queue.
    void Hold(bool hold) { held = hold; }
    size_t GetQueued()
    {
        Lock();
        size_t size = queue.size();
        Unlock();
        return size;
    }

    uint64_t GetUpdatesDelivered() const { return updates_delivered; }
    // Events processed, and of those the ones a tick came after.
    uint64_t GetProcessed() const { return processed; }
    uint64_t GetWritten() const { return written; }

    std::vector<std::string> GetLog()
    {
        std::lock_guard<std::mutex> guard(lock);
        return log;
    }

    // The log once the worker has made `updates` updates; the last one lands after the replay.
    std::vector<std::string> GetLogAfterUpdates(size_t updates)
    {
        for (int tries = 0; tries < 1000; tries++) {
            std::vector<std::string> copy = GetLog();
            if (static_cast<size_t>(std::count(copy.begin(), copy.end(), "update")) >= updates)
                return copy;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return GetLog();
    }

private:
    static constexpr std::chrono::milliseconds IDLE_WAIT{5};

    void Queue(Event event, std::shared_ptr<tdFlow> &flow)
    {
        Lock();
        queue.emplace_back(event, flow->digest);
        Unlock();
    }
    // A target's tick, which writes what earlier passes processed.
    void Tick() { written = processed.load(); }
    void Record(const std::string &what)
    {
        std::lock_guard<std::mutex> guard(lock);
        log.push_back(what);
    }

    bool reprocess;
    std::chrono::milliseconds process_time;
    std::atomic<bool> reload_pending{false}, reprocess_pending{false}, update_pending{false};
    std::atomic<bool> held{false};
    std::atomic<uint64_t> flows{0}, flows_queued{0}, updates_delivered{0};
    std::atomic<uint64_t> processed{0}, written{0};
    std::mutex lock;
    std::deque<std::pair<Event, uint64_t>> queue;
    std::vector<std::string> log;
};

std::string Line(const char *type, unsigned digest)
{
    char text[160];
    snprintf(text, sizeof(text), R"({"type": "%s", "flow": {"digest": "%016x"}})", type, digest);
    return text;
}

tfaReplayHost::Options Quick(unsigned threads)
{
    tfaReplayHost::Options options;
    options.threads = threads;
    options.update_interval = 0;
    options.linger = 0;
    return options;
}

// Many flows over four host threads, cut by control lines: every event before a control line is
// processed before it, every event after it after, and each flow's events keep their order.
TEST(ReplayHost, ControlLinesCutTheStream)
{
    std::ostringstream file;
    std::vector<std::string> expected_segments[3];
    const char *controls[] = {"update", "reload"};
    const char *kinds[] = {"flow", "flow_update", "flow_dpi_complete", "flow_intel", "flow_purge"};
    const char *codes[] = {"6", nullptr, "8", "5", "4"};
    for (unsigned segment = 0; segment < 3; segment++) {
        for (unsigned step = 0; step < 5; step++) {
            for (unsigned flow = 1; flow <= 30; flow++) {
                unsigned digest = segment * 100 + flow;
                file << Line(kinds[step], digest) << "\n";
                if (codes[step] != nullptr)
                    expected_segments[segment].push_back(std::string(codes[step]) + ":" +
                                                         std::to_string(digest));
            }
        }
        if (segment < 2)
            file << R"({"type": ")" << controls[segment] << "\"}\n";
    }

    RecordingPlugin plugin(false);
    plugin.Create();
    std::istringstream input(file.str());
    tfaEventReader reader(input, "cut");
    tfaReplayHost host(plugin, Quick(4));
    host.Replay(reader);
    EXPECT_TRUE(host.IsDrained());
    EXPECT_EQ(host.GetEventsRead(), 450u);
    EXPECT_EQ(host.GetEventsExpected(), 360u);
    EXPECT_EQ(host.GetFlowCount(), 0u);
    EXPECT_EQ(host.PollStatus()["flows"], 360u);

    // The log, cut at the markers; the last update is the one made at the end.
    std::vector<std::string> log = plugin.GetLogAfterUpdates(2);
    const char *markers[] = {"update", "reload", "update"};
    auto from = log.begin();
    for (unsigned segment = 0; segment < 3; segment++) {
        SCOPED_TRACE("segment " + std::to_string(segment));
        auto marker = std::find(from, log.end(), markers[segment]);
        ASSERT_NE(marker, log.end());
        std::vector<std::string> got(from, marker);
        // Threads interleave flows; within a flow the order is the file's.
        for (unsigned flow = 1; flow <= 30; flow++) {
            std::string suffix = ":" + std::to_string(segment * 100 + flow);
            auto of_flow = [&suffix](std::vector<std::string> events) {
                std::vector<std::string> kept;
                for (auto &event : events)
                    if (event.size() > suffix.size() &&
                        event.compare(event.size() - suffix.size(), suffix.size(), suffix) == 0)
                        kept.push_back(event);
                return kept;
            };
            EXPECT_EQ(of_flow(got), of_flow(expected_segments[segment])) << suffix;
        }
        EXPECT_EQ(got.size(), expected_segments[segment].size());
        from = marker + 1;
    }
}

// After a reload with reprocessing on, the next update re-queues the classified flows still held;
// the host counts them, so it knows when they have been taken too.
TEST(ReplayHost, ReprocessedFlowsAreAwaited)
{
    std::ostringstream file;
    for (unsigned flow = 1; flow <= 5; flow++)
        file << Line("flow_dpi_complete", flow) << "\n";
    file << Line("flow", 6) << "\n" << Line("flow_purge", 1) << "\n";
    // Classification sticks to a flow: a later dpi_new does not undo it.
    file << Line("flow", 2) << "\n";
    file << R"({"type": "reload"})"
         << "\n"
         << R"({"type": "update"})"
         << "\n";
    file << Line("flow", 7) << "\n";

    RecordingPlugin plugin(true);
    plugin.Create();
    std::istringstream input(file.str());
    tfaEventReader reader(input, "reprocess");
    tfaReplayHost::Options options = Quick(2);
    options.reprocess_flows = true;
    tfaReplayHost host(plugin, options);
    host.Replay(reader);

    EXPECT_TRUE(host.IsDrained());
    EXPECT_EQ(host.GetEventsExpected(), 9u + 4u);
    EXPECT_EQ(host.PollStatus()["flows"], 13u);
    EXPECT_EQ(host.GetFlowCount(), 6u);
    // After the reload: the re-queued flows, then the line that followed the update.
    std::vector<std::string> log = plugin.GetLogAfterUpdates(2);
    auto reload = std::find(log.begin(), log.end(), "reload");
    std::vector<std::string> after;
    std::copy_if(reload, log.end(), std::back_inserter(after),
                 [](const std::string &entry) { return entry.find(':') != std::string::npos; });
    ASSERT_EQ(after.size(), 5u) << testing::PrintToString(log);
    std::sort(after.begin(), after.begin() + 4);
    EXPECT_EQ(after, (std::vector<std::string>{"8:2", "8:3", "8:4", "8:5", "6:7"}));
}

TEST(ReplayHost, StoppedWorkerEndsTheWait)
{
    RecordingPlugin plugin(false); // its worker never runs
    std::istringstream input(Line("flow", 1) + "\n" + Line("flow_dpi_complete", 1) + "\n");
    tfaEventReader reader(input, "stopped");
    tfaReplayHost::Options options = Quick(1);
    options.worker_stopped = []() { return true; };
    tfaReplayHost host(plugin, options);
    LogCapture capture;
    host.Replay(reader);
    EXPECT_FALSE(host.IsDrained());
    EXPECT_EQ(capture.LogLines(),
              (std::vector<std::string>{
                  "replay: the plug-in's worker has stopped; 2 of 2 events were not taken\n"}));
}

// The run ends once the worker has processed the last batch and ticked after it, however slowly
// it processes, without lingering.
TEST(ReplayHost, EndWaitsForTheLastBatch)
{
    std::ostringstream file;
    for (unsigned flow = 1; flow <= 6; flow++)
        file << Line("flow", flow) << "\n" << Line("flow_dpi_complete", flow) << "\n";
    RecordingPlugin plugin(false, std::chrono::milliseconds(30));
    plugin.Create();
    std::istringstream input(file.str());
    tfaEventReader reader(input, "slow");
    tfaReplayHost host(plugin, Quick(2));
    host.Replay(reader);
    EXPECT_TRUE(host.IsDrained());
    EXPECT_EQ(plugin.GetProcessed(), 12u);
    EXPECT_EQ(plugin.GetWritten(), 12u);
}

// A worker that falls behind holds the reading back: no more than the read-ahead waits for it,
// and once it goes on, every event still arrives.
TEST(ReplayHost, ReadingWaitsForTheWorker)
{
    constexpr uint64_t events = 3 * tfaReplayHost::READ_AHEAD;
    std::ostringstream file;
    for (unsigned flow = 1; flow <= events; flow++)
        file << Line("flow", flow) << "\n";
    RecordingPlugin plugin(false);
    plugin.Hold(true);
    plugin.Create();
    std::istringstream input(file.str());
    tfaEventReader reader(input, "held");
    tfaReplayHost host(plugin, Quick(2));
    std::thread replay([&]() { host.Replay(reader); });

    size_t queued = 0;
    for (int tries = 0; tries < 200; tries++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        size_t now = plugin.GetQueued();
        if (now != 0 && now == queued)
            break;
        queued = now;
    }
    EXPECT_GE(queued, tfaReplayHost::READ_AHEAD);
    EXPECT_LE(queued, tfaReplayHost::READ_AHEAD + tfaReplayHost::READ_AHEAD_CHECK);
    plugin.Hold(false);
    replay.join();
    EXPECT_TRUE(host.IsDrained());
    EXPECT_EQ(plugin.GetProcessed(), events);
}

// While lingering, host updates keep coming at the update interval; without one, only the last
// update is made.
TEST(ReplayHost, LingerKeepsUpdating)
{
    struct Row {
        const char *name;
        double update_interval;
        uint64_t least, most;
    };
    const Row rows[] = {
        {"no interval", 0, 1, 1},
        {"interval a fifth of the linger", 0.1, 3, UINT64_MAX},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        RecordingPlugin plugin(false);
        plugin.Create();
        std::istringstream input(Line("flow", 1) + "\n");
        tfaEventReader reader(input, "linger");
        tfaReplayHost::Options options = Quick(1);
        options.update_interval = row.update_interval;
        options.linger = 0.5;
        tfaReplayHost host(plugin, options);
        host.Replay(reader);
        EXPECT_GE(plugin.GetUpdatesDelivered(), row.least);
        EXPECT_LE(plugin.GetUpdatesDelivered(), row.most);
    }
}

TEST(ReplayHost, IntakeKinds)
{
    const std::map<Event, bool> kinds = {
        {tdPluginProcessor::EVENT_FLOW_NEW, false},
        {tdPluginProcessor::EVENT_FLOW_EXPIRED, true},
        {tdPluginProcessor::EVENT_FLOW_INTEL, true},
        {tdPluginProcessor::EVENT_DPI_NEW, true},
        {tdPluginProcessor::EVENT_DPI_UPDATE, false},
        {tdPluginProcessor::EVENT_DPI_COMPLETE, true},
        {tdPluginProcessor::EVENT_FLOW_EXPIRING, false},
    };
    for (const auto &kind : kinds) {
        SCOPED_TRACE(kind.first);
        EXPECT_EQ(tfaReplayHost::IsQueued(kind.first), kind.second);
    }
}
} // namespace
