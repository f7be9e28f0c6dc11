// Host threads queue events while reloads and status reads run: every queued event must be
// processed exactly once, and the flow counters must add up across status reports.
#include "plugin/test_plugin.hpp"

#include <gtest/gtest.h>

namespace
{
using Event = tdPluginProcessor::Event;

constexpr int PRODUCERS = 4;
constexpr int EVENTS_PER_PRODUCER = 400;
constexpr int TOTAL = PRODUCERS * EVENTS_PER_PRODUCER;

class WorkerStress : public ::testing::Test
{
protected:
    WorkerStress() : plugin(scratch.path + "/tfa.json", journal)
    {
        scratch.Write("tfa.json", R"({
            "targets": {"t": {"target_type": "record"}},
            "actions": {"a": {"criteria": "*", "targets": "t"}}
        })");
        plugin.Create();
    }
    ~WorkerStress() override { plugin.Terminate(); }

    // Queues TOTAL events with distinct digests starting at `first`, from PRODUCERS threads.
    void Produce(uint64_t first)
    {
        std::vector<std::thread> producers;
        for (int p = 0; p < PRODUCERS; p++) {
            producers.emplace_back([this, p, first] {
                for (int i = 0; i < EVENTS_PER_PRODUCER; i++) {
                    auto flow = MakeFlow();
                    flow->digest = first + static_cast<uint64_t>(p * EVENTS_PER_PRODUCER + i);
                    if (i % 4 == 0) {
                        json intel = {{"n", i}};
                        plugin.DispatchProcessorEvent(Event::EVENT_FLOW_INTEL, flow, intel);
                    } else {
                        static const Event kinds[] = {Event::EVENT_DPI_NEW,
                                                      Event::EVENT_DPI_COMPLETE,
                                                      Event::EVENT_FLOW_EXPIRED};
                        plugin.DispatchProcessorEvent(kinds[i % 3], flow);
                    }
                    if (i % 50 == 0)
                        std::this_thread::yield();
                }
            });
        }
        for (auto &producer : producers)
            producer.join();
    }

    // Every digest from `first` on reached the target exactly once.
    void ExpectEachOnce(uint64_t first)
    {
        std::map<uint64_t, int> seen;
        for (const auto &call : journal.Calls())
            if (call.flow->digest >= first && call.flow->digest < first + TOTAL)
                seen[call.flow->digest]++;
        EXPECT_EQ(seen.size(), static_cast<size_t>(TOTAL));
        for (const auto &digest : seen)
            ASSERT_EQ(digest.second, 1) << "digest " << digest.first;
    }

    HostEnvironment host;
    Journal journal;
    TempDir scratch;
    TestPlugin plugin;
};

TEST_F(WorkerStress, EventsSurviveReloadsAndStatusReads)
{
    ASSERT_TRUE(WaitFor([this] { return plugin.Counters().actions_enabled == 1; }));

    std::atomic<bool> stop{false};
    std::thread reloader([&] {
        while (!stop) {
            plugin.DispatchEvent(tdPlugin::EVENT_RELOAD);
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    });
    std::thread reader([&] {
        while (!stop) {
            json status = json::object();
            plugin.GetStatus(status);
            std::string display = status.dump();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });

    Produce(0);
    bool drained = WaitFor([this] { return journal.Count() >= static_cast<size_t>(TOTAL); });
    stop = true;
    reloader.join();
    reader.join();
    ASSERT_TRUE(drained) << journal.Count() << " of " << TOTAL;
    ExpectEachOnce(0);
}

TEST_F(WorkerStress, FlowCountersAddUpAcrossStatusReports)
{
    ASSERT_TRUE(WaitFor([this] { return plugin.Counters().actions_enabled == 1; }));
    // Reports before the run start the count from zero.
    json status = json::object();
    plugin.GetStatus(status);

    std::atomic<bool> stop{false};
    uint64_t flows = 0, flows_priv = 0;
    std::thread reader([&] {
        while (!stop) {
            json report = json::object();
            plugin.GetStatus(report);
            flows += report["flows"].get<uint64_t>();
            flows_priv += report["flows_priv"].get<uint64_t>();
        }
    });

    Produce(1000000);
    bool drained = WaitFor([this] { return journal.Count() >= static_cast<size_t>(TOTAL); });
    stop = true;
    reader.join();
    ASSERT_TRUE(drained) << journal.Count() << " of " << TOTAL;

    plugin.GetStatus(status);
    flows += status["flows"].get<uint64_t>();
    flows_priv += status["flows_priv"].get<uint64_t>();
    EXPECT_EQ(flows, static_cast<uint64_t>(TOTAL));
    EXPECT_EQ(flows_priv, static_cast<uint64_t>(TOTAL));
    ExpectEachOnce(1000000);
}
} // namespace
