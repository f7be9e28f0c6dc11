// Events from a host thread through the plug-in's intake to its worker, beside the plainest
// handoff of the same records between two threads. Each iteration hands over one burst and waits
// until the consumer has let go of every record, so both figures include the consumer's work.
#include "host/flow.hpp"
#include "host/global_config.hpp"
#include "host/instance.hpp"
#include "plugin/plugin.hpp"

#include <benchmark/benchmark.h>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <queue>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{
constexpr int BURST = 10000;

// As many flows as events in a burst: a host's events are about many flows, and one record shared
// by every event would have both threads fight over its reference count.
constexpr int FLOWS = BURST;

void CountEvents(benchmark::State &state) { state.SetItemsProcessed(state.iterations() * BURST); }

std::vector<std::shared_ptr<tdFlow>> MakeFlows()
{
    std::vector<std::shared_ptr<tdFlow>> flows;
    for (int i = 0; i < FLOWS; i++) {
        auto flow = std::make_shared<tdFlow>();
        tdAddr::Create(flow->lower_addr, "192.168.1.10");
        tdAddr::Create(flow->upper_addr, "93.184.216.34");
        flow->upper_addr.SetPort(443);
        flow->ip_version = 4;
        flow->ip_protocol = 6;
        flow->lower_map = tdFlow::LOWER_MAP_LOCAL;
        flow->iface_name = "eth0";
        flows.push_back(flow);
    }
    return flows;
}

// The consumer has let go of every record.
void WaitForRelease(const std::vector<std::shared_ptr<tdFlow>> &flows)
{
    for (const auto &flow : flows) {
        while (flow.use_count() > 1)
            std::this_thread::yield();
    }
}

// The reference: a queue of shared pointers under one mutex, a consumer woken by a condition
// variable that takes one record per wake-up check.
void Handoff(benchmark::State &state)
{
    std::mutex lock;
    std::condition_variable ready;
    std::queue<std::shared_ptr<tdFlow>> queue;
    bool stop = false;
    std::thread consumer([&]() {
        std::unique_lock<std::mutex> guard(lock);
        while (true) {
            ready.wait(guard, [&]() { return stop || !queue.empty(); });
            if (queue.empty())
                return;
            queue.pop();
        }
    });

    const auto flows = MakeFlows();
    for (auto _ : state) {
        for (int i = 0; i < BURST; i++) {
            std::lock_guard<std::mutex> guard(lock);
            queue.push(flows[i % FLOWS]);
            ready.notify_one();
        }
        WaitForRelease(flows);
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        stop = true;
    }
    ready.notify_one();
    consumer.join();
    CountEvents(state);
}
BENCHMARK(Handoff)->UseRealTime();

// The plug-in with its counters readable.
class BenchPlugin : public tfaPlugin
{
public:
    explicit BenchPlugin(const std::string &conf) : tfaPlugin("bench", {{"conf_filename", conf}}) {}
    uint64_t Targets() const { return stats.targets; }
};

// Actions on flows that none of them matches, with a sink target each.
std::string WriteConfig(int count)
{
    json actions = json::object();
    for (int i = 0; i < count; i++)
        actions["a" + std::to_string(i)] = {
            {"criteria", "other_port == " + std::to_string(10000 + i)}, {"targets", "sink"}};
    const json config = {{"timezone", "UTC"},
                         {"targets", {{"sink", {{"target_type", "sink"}, {"sink", "events"}, {"flow_events", "new"}}}}},
                         {"actions", actions}};
    std::string path = "/tmp/tfa-bench-intake-" + std::to_string(getpid()) + ".json";
    std::ofstream(path) << config.dump();
    return path;
}

void Intake(benchmark::State &state)
{
    tdGlobalConfig global;
    tdInstance instance("tarvixd");
    const std::string conf = WriteConfig(int(state.range(0)));
    BenchPlugin plugin(conf);
    plugin.Create();
    while (plugin.Targets() == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

    auto flows = MakeFlows();
    for (auto _ : state) {
        for (int i = 0; i < BURST; i++)
            plugin.DispatchProcessorEvent(tdPluginProcessor::EVENT_DPI_NEW, flows[i % FLOWS]);
        WaitForRelease(flows);
    }
    plugin.Terminate();
    plugin.Join();
    unlink(conf.c_str());
    CountEvents(state);
}
// Without actions the figure is the queue's alone; with ten, the rules' work is in it too.
BENCHMARK(Intake)->Arg(0)->Arg(10)->UseRealTime();
} // namespace

BENCHMARK_MAIN();
