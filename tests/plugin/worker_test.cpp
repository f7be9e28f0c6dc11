#include "host/flow_map.hpp"
#include "plugin/test_plugin.hpp"
#include "support/capture.hpp"

#include <ctime>
#include <gtest/gtest.h>

namespace
{
using Event = tdPluginProcessor::Event;

constexpr const char *ONE_ACTION = R"({
    "targets": {"t": {"target_type": "record"}},
    "actions": {"a": {"criteria": "*", "targets": "t"}}
})";

class Worker : public ::testing::Test
{
protected:
    Worker() : path(scratch.path + "/tfa.json"), plugin(path, journal) {}
    ~Worker() override { plugin.Terminate(); }

    void Load(const std::string &text)
    {
        scratch.Write("tfa.json", text);
        plugin.Reload();
    }

    void Queue(Event event, std::shared_ptr<tdFlow> flow)
    {
        plugin.DispatchProcessorEvent(event, flow);
    }

    uint64_t Flows() const { return plugin.Counters().flows; }

    HostEnvironment host;
    Journal journal;
    TempDir scratch;
    std::string path;
    TestPlugin plugin;
};

TEST_F(Worker, IntakeKeepsOnlyAcceptedKinds)
{
    for (uint16_t kind = 0; kind <= 14; kind++) {
        SCOPED_TRACE("event " + std::to_string(kind));
        auto event = static_cast<Event>(kind);
        auto flow = MakeFlow();
        json data = {{"score", kind}};
        plugin.DispatchProcessorEvent(event, flow);
        plugin.DispatchProcessorEvent(event, flow, data);
        plugin.DispatchProcessorEvent(event);

        bool flow_kind = kind == Event::EVENT_FLOW_EXPIRED || kind == Event::EVENT_DPI_NEW ||
                         kind == Event::EVENT_DPI_COMPLETE;
        bool intel_kind = kind == Event::EVENT_FLOW_INTEL;
        auto queue = plugin.Queue();
        ASSERT_EQ(queue.size(), flow_kind || intel_kind ? 1u : 0u);
        if (!queue.empty()) {
            EXPECT_EQ(queue[0].event, kind);
            EXPECT_EQ(queue[0].flow, flow);
            EXPECT_EQ(queue[0].params.size(), intel_kind ? 1u : 0u);
        }
        // Only the worker clears the flag, so it stays set from the update event on.
        EXPECT_EQ(plugin.UpdatePending(), kind >= Event::EVENT_UPDATE);
        EXPECT_EQ(plugin.Counters().flows, 0u);

        plugin.RunQueue();
        EXPECT_TRUE(plugin.Queue().empty());
        Load("{}");
    }
}

TEST_F(Worker, IntelIsCopied)
{
    auto flow = MakeFlow();
    json data = {{"score", 9}};
    plugin.DispatchProcessorEvent(Event::EVENT_FLOW_INTEL, flow, data);
    data["score"] = 1;
    auto queue = plugin.Queue();
    ASSERT_EQ(queue.size(), 1u);
    EXPECT_EQ(queue[0].params.at("intel"), json({{"score", 9}}));
}

TEST_F(Worker, NullFlowIsIgnored)
{
    std::shared_ptr<tdFlow> none;
    plugin.DispatchProcessorEvent(Event::EVENT_DPI_COMPLETE, none);
    EXPECT_TRUE(plugin.Queue().empty());
}

TEST_F(Worker, Reprocessing)
{
    tdFlowMap map(8);
    auto classified = MakeFlow();
    auto unclassified = MakeFlow();
    unclassified->detection_complete = false;
    auto excluded = MakeFlow();
    excluded->reprocess_exclude = true;
    auto other = MakeFlow(10);
    map.Insert(1, classified);
    map.Insert(2, unclassified);
    map.Insert(3, excluded);
    map.Insert(12, other);

    // Not pending: nothing.
    plugin.DispatchProcessorEvent(Event::EVENT_FLOW_MAP, &map);
    EXPECT_TRUE(plugin.Queue().empty());

    // Pending, but another kind: nothing, and the flag stays.
    plugin.SetReprocessPending();
    plugin.DispatchProcessorEvent(Event::EVENT_DPI_COMPLETE, &map);
    EXPECT_TRUE(plugin.Queue().empty());
    EXPECT_TRUE(plugin.ReprocessPending());

    plugin.DispatchProcessorEvent(Event::EVENT_FLOW_MAP, &map);
    EXPECT_FALSE(plugin.ReprocessPending());
    std::set<std::shared_ptr<tdFlow>> queued;
    for (const auto &entry : plugin.Queue()) {
        EXPECT_EQ(entry.event, Event::EVENT_DPI_COMPLETE);
        EXPECT_TRUE(entry.params.empty());
        queued.insert(entry.flow);
    }
    EXPECT_EQ(queued, (std::set<std::shared_ptr<tdFlow>>{classified, other}));
    EXPECT_EQ(plugin.Queue().size(), 2u);

    // Only once per request.
    plugin.DispatchProcessorEvent(Event::EVENT_FLOW_MAP, &map);
    EXPECT_EQ(plugin.Queue().size(), 2u);

    // An empty map clears the flag and queues nothing.
    tdFlowMap empty(4);
    plugin.RunQueue();
    plugin.SetReprocessPending();
    plugin.DispatchProcessorEvent(Event::EVENT_FLOW_MAP, &empty);
    EXPECT_TRUE(plugin.Queue().empty());
    EXPECT_FALSE(plugin.ReprocessPending());
}

TEST_F(Worker, ReloadRequest)
{
    struct Row {
        const char *name;
        const char *config;
        uint32_t event;
        bool reprocess;
    };
    const Row rows[] = {
        {"reload without reprocessing", "{}", tdPlugin::EVENT_RELOAD, false},
        {"reload with reprocessing", R"({"reprocess_flows": true})", tdPlugin::EVENT_RELOAD, true},
        {"other event", R"({"reprocess_flows": true})", 7, false},
    };
    tdFlowMap empty(1);
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        Load(row.config);
        plugin.DispatchProcessorEvent(Event::EVENT_FLOW_MAP, &empty);
        auto before = plugin.ReloadPending();
        plugin.DispatchEvent(static_cast<tdPlugin::Event>(row.event));
        EXPECT_EQ(plugin.ReloadPending(), before || row.event == tdPlugin::EVENT_RELOAD);
        EXPECT_EQ(plugin.ReprocessPending(), row.reprocess);
    }
}

TEST_F(Worker, BatchCountersAndOrder)
{
    Load(R"({
        "targets": {"t": {"target_type": "record"}},
        "actions": {
            "first": {"criteria": "pi:dns", "targets": "t", "halt_on_match": true},
            "second": {"criteria": "*", "targets": "t"},
            "third": {"criteria": "*", "targets": "t"}
        },
        "exemptions": ["10.1.1.1"]
    })");
    auto exempt = MakeFlow();
    tdAddr::Create(exempt->upper_addr, "10.1.1.1");
    Queue(Event::EVENT_DPI_COMPLETE, MakeFlow(0, 5));
    Queue(Event::EVENT_DPI_NEW, exempt);
    Queue(Event::EVENT_FLOW_EXPIRED, MakeFlow(0, 91));

    EXPECT_TRUE(plugin.RunQueue());
    EXPECT_EQ(journal.Route(), (std::vector<std::string>{"first>t", "second>t", "third>t"}));
    auto calls = journal.Calls();
    EXPECT_EQ(calls[0].event, Event::EVENT_DPI_COMPLETE);
    EXPECT_EQ(calls[2].event, Event::EVENT_FLOW_EXPIRED);

    const auto &stats = plugin.Counters();
    EXPECT_EQ(stats.flows, 3u);
    EXPECT_EQ(stats.flows_priv, 3u);
    EXPECT_EQ(stats.flows_queued, 3u);
    EXPECT_FALSE(plugin.RunQueue());

    Queue(Event::EVENT_DPI_NEW, exempt);
    EXPECT_TRUE(plugin.RunQueue());
    EXPECT_EQ(stats.flows, 4u);
    EXPECT_EQ(stats.flows_queued, 1u);
    EXPECT_EQ(journal.Count(), 3u);
}

TEST_F(Worker, IntelReachesCriteria)
{
    Load(R"({
        "targets": {"t": {"target_type": "record"}},
        "actions": {"a": {"criteria": "intel.score > 5", "targets": "t"}}
    })");
    auto flow = MakeFlow();
    for (int score : {9, 1}) {
        json data = {{"score", score}};
        plugin.DispatchProcessorEvent(Event::EVENT_FLOW_INTEL, flow, data);
    }
    plugin.RunQueue();
    ASSERT_EQ(journal.Count(), 1u);
    EXPECT_EQ(journal.Calls()[0].event, Event::EVENT_FLOW_INTEL);
}

TEST_F(Worker, FaultyEntryDoesNotStopTheBatch)
{
    Load(R"({
        "targets": {"t": {"target_type": "record"}, "bad": {"target_type": "record", "fail": true}},
        "actions": {
            "a1": {"criteria": "pi:tls", "targets": "bad", "priority": 1},
            "a2": {"criteria": "detected_protocol ==", "priority": 2, "targets": "t",
                   "interface": "wan"},
            "a3": {"criteria": "*", "targets": "t"}
        }
    })");
    LogCapture capture;
    Queue(Event::EVENT_DPI_COMPLETE, MakeFlow(0, 91));
    Queue(Event::EVENT_DPI_COMPLETE, MakeFlow(0, 0, "ppp0", tdFlow::ROLE_WAN));
    Queue(Event::EVENT_DPI_COMPLETE, MakeFlow(0, 5));
    plugin.RunQueue();

    // A faulting criteria used to end the flow's pass, so a3 never saw the WAN flow; now only
    // a2 is skipped for it, and its fault is named once.
    EXPECT_EQ(journal.Route(), (std::vector<std::string>{"a3>t", "a3>t"}));
    auto lines = capture.LogLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "bad: target failure\n");
    EXPECT_EQ(lines[1].rfind("a2: criteria parse error: \"detected_protocol ==\": ", 0), 0u)
        << lines[1];
    EXPECT_EQ(plugin.Counters().flows, 3u);
}

TEST_F(Worker, StartsLoadsAndProcesses)
{
    scratch.Write("tfa.json", ONE_ACTION);
    LogCapture capture;
    plugin.Create();
    ASSERT_TRUE(WaitFor([this] { return plugin.Counters().actions_enabled == 1; }));
    Queue(Event::EVENT_DPI_COMPLETE, MakeFlow());
    ASSERT_TRUE(WaitFor([this] { return journal.Count() == 1; }));

    auto lines = capture.LogLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "fa0: Tarvix Flow Actions Processor Plugin v1.2.15\n");
#ifdef TFA_HAVE_NFT
    EXPECT_EQ(lines[1], "fa0: Flow action targets: log, nftset, pftable, record, sink\n");
#else
    EXPECT_EQ(lines[1], "fa0: Flow action targets: log, pftable, record, sink\n");
#endif
    EXPECT_TRUE(capture.Contains("fa0: Reloading configuration...\n"));

    uint64_t ticks = journal.ticks;
    plugin.DispatchProcessorEvent(Event::EVENT_UPDATE);
    ASSERT_TRUE(WaitFor([this] { return journal.updates == 1; }));
    ASSERT_TRUE(WaitFor([this, ticks] { return journal.ticks > ticks; }));
}

TEST_F(Worker, BadConfigurationDoesNotStopTheWorker)
{
    scratch.Write("tfa.json", R"({"actions": )");
    LogCapture capture;
    plugin.Create();
    std::string fault = "fa0: Error loading configuration: " + path + ": JSON parse error\n";
    ASSERT_TRUE(WaitFor([&] { return capture.Contains(fault); }));

    // Events queued meanwhile are taken and counted, not left to pile up.
    for (int i = 0; i < 3; i++)
        Queue(Event::EVENT_DPI_COMPLETE, MakeFlow());
    ASSERT_TRUE(WaitFor([this] { return Flows() == 3 && plugin.Queue().empty(); }));

    scratch.Write("tfa.json", ONE_ACTION);
    plugin.DispatchEvent(tdPlugin::EVENT_RELOAD);
    ASSERT_TRUE(WaitFor([this] { return plugin.Counters().actions_enabled == 1; }));
    Queue(Event::EVENT_DPI_NEW, MakeFlow());
    Queue(Event::EVENT_DPI_COMPLETE, MakeFlow());
    ASSERT_TRUE(WaitFor([this] { return journal.Count() == 2; }));
}

TEST_F(Worker, PartialLoadStaysInService)
{
    // The second action fails: the targets stay, no action is installed, the worker goes on.
    scratch.Write("tfa.json", R"({
        "targets": {"t": {"target_type": "record"}},
        "actions": {"a": {"criteria": "*", "targets": "t"}, "b": {"criteria": "*", "targets": "x"}}
    })");
    LogCapture capture;
    plugin.Create();
    ASSERT_TRUE(WaitFor([&] { return capture.Contains("b: target not found: x\n"); }));
    plugin.DispatchProcessorEvent(Event::EVENT_UPDATE);
    ASSERT_TRUE(WaitFor([this] { return journal.updates == 1; }));
    Queue(Event::EVENT_DPI_COMPLETE, MakeFlow());
    ASSERT_TRUE(WaitFor([this] { return Flows() == 1; }));
    EXPECT_EQ(journal.Count(), 0u);
}

// Under a queue that never empties the worker never waits, yet the time windows must still
// follow the clock: a window that is open only for a stale time value closes at once.
TEST_F(Worker, TimeWindowClosesUnderABusyQueue)
{
    static const char *names[] = {"sun", "mon", "tue", "wed", "thu", "fri", "sat"};
    int today = static_cast<int>((time(nullptr) / 86400 + 4) % 7);
    json days = json::array();
    for (int i = 2; i <= 5; i++)
        days.push_back(names[(today + i) % 7]);
    json config = {
        {"timezone", "UTC"},
        {"targets", {{"slow", {{"target_type", "record"}, {"delay_ms", 2}}}}},
        {"actions",
         {{"in_window",
           {{"criteria", "*"},
            {"targets", "slow"},
            {"halt_on_match", true},
            {"priority", 1},
            {"time_of_day", {{{"days", days}}}}}},
          {"outside", {{"criteria", "*"}, {"targets", "slow"}}}}},
    };
    scratch.Write("tfa.json", config.dump());
    plugin.Create();
    ASSERT_TRUE(WaitFor([this] { return plugin.Counters().actions_enabled == 2; }));

    // The producer keeps a few events ahead of the slow target, so the queue never runs dry.
    std::atomic<bool> stop{false};
    std::thread producer([&] {
        while (!stop) {
            if (plugin.Queue().size() < 20) {
                for (int i = 0; i < 5; i++)
                    Queue(Event::EVENT_DPI_COMPLETE, MakeFlow());
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    ASSERT_TRUE(WaitFor([this] { return journal.Count() > 10; }));
    EXPECT_EQ(journal.Route().back(), "outside>slow");

    // Three and a half days back lies inside the window. The worker may replace the value before
    // any event sees it, so it is set until an event does.
    auto opened = [this] {
        auto route = journal.Route();
        return std::find(route.begin(), route.end(), "in_window>slow") != route.end();
    };
    bool seen_open = WaitFor([&] {
        plugin.SetNow(time(nullptr) - 3 * 86400 - 43200);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return opened();
    });
    size_t open_at = journal.Count();
    bool closed = WaitFor([&] {
        auto route = journal.Route();
        return route.size() > open_at + 2 && route.back() == "outside>slow";
    });
    bool busy = !plugin.Queue().empty();
    stop = true;
    producer.join();
    EXPECT_TRUE(seen_open);
    EXPECT_TRUE(closed);
    EXPECT_TRUE(busy);
}
} // namespace
