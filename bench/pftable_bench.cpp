// A pf table target handed, again and again, a flow whose address the table already holds and
// the last expiry pass saw there.
#include "host/flow.hpp"
#include "rules/action.hpp"
#include "sim/pf/pfsim.hpp"
#include "targets/pftable.hpp"
#include "targets/pftable_config.hpp"

#include <benchmark/benchmark.h>
#include <memory>
#include <string>

namespace
{
const char *const DEVICE = "/dev/pf";

void AddPresent(benchmark::State &state)
{
    pfsim::Reset();
    pfsim::RegisterDevice(DEVICE);
    tfaTargetPFtableConfig config;
    config.SetDevice(DEVICE);
    auto target = tfaTargetPFtable::Create("pf", &config, {{"table_name", "block"}, {"ttl", 3600}},
                                           {{"managed", true}});
    tfaAction action{nullptr, "act", 1, "", {}, {}, {{"pf", target.get()}}, json::object(), {},
                     false};

    auto flow = std::make_shared<tdFlow>();
    tdAddr::Create(flow->lower_addr, "192.168.1.10");
    tdAddr::Create(flow->upper_addr, "93.184.216.34");
    flow->lower_map = tdFlow::LOWER_MAP_LOCAL;
    flow->ip_version = 4;
    if (!target->ProcessFlow(action, tdPluginProcessor::EVENT_DPI_COMPLETE, flow))
        state.SkipWithError("the first add failed");
    // Adds are skipped only for addresses that an expiry pass has since seen in the table.
    target->Update();

    const uint64_t before = pfsim::Requests(pfsim::Request::ADD_ADDRS);
    for (auto _ : state)
        benchmark::DoNotOptimize(
            target->ProcessFlow(action, tdPluginProcessor::EVENT_DPI_COMPLETE, flow));
    state.counters["requests"] =
        benchmark::Counter(double(pfsim::Requests(pfsim::Request::ADD_ADDRS) - before),
                           benchmark::Counter::kAvgIterations);
    target.reset();
    pfsim::Reset();
}
BENCHMARK(AddPresent);
} // namespace

BENCHMARK_MAIN();
