// What a long criteria file costs each event that none of its lines matches, built the way a
// configuration builds it: an action reading its criteria from a file.
#include "host/flow.hpp"
#include "host/flow_parser.hpp"
#include "host/global_config.hpp"
#include "host/instance.hpp"
#include "rules/action.hpp"
#include "rules/rules_context.hpp"
#include "targets/sink.hpp"

#include <benchmark/benchmark.h>
#include <fstream>
#include <functional>
#include <malloc.h>
#include <memory>
#include <string>
#include <unistd.h>

namespace
{
// Noon UTC, inside the default all-day window.
constexpr int64_t NOON = 1700049600;
constexpr int LARGE = 100000;
constexpr int LARGE_ITERATIONS = 100000;
const char *const SINK = "sink";

class BenchContext : public tfaRulesContext
{
public:
    tfaTarget *FindTarget(const std::string &name) const override
    {
        return name == SINK ? const_cast<tfaTargetSink *>(&sink) : nullptr;
    }
    int64_t GetNow() const override { return NOON; }

    tfaTargetSink sink{SINK, "events", "flows", tdPlugin::DF_FORMAT_JSON, tfaTargetSink::FE_NEW};
};

// Resident memory now, after handing freed memory back, in MB.
double ResidentMB()
{
    malloc_trim(0);
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1 << 20);
}

std::string AddressLine(int i)
{
    return "other_ip == 10." + std::to_string(i >> 16) + "." + std::to_string((i >> 8) & 0xff) +
           "." + std::to_string(i & 0xff);
}

std::string RegexLine(int i)
{
    return "host_server_name =~ '^h" + std::to_string(i) + "\\.example\\.net$'";
}

void RunList(benchmark::State &state, const std::function<std::string(int)> &line)
{
    const int lines = int(state.range(0));
    const double resident_before = ResidentMB();
    const std::string path = "/tmp/tfa-bench-criteria-" + std::to_string(getpid());
    {
        std::ofstream file(path);
        for (int i = 0; i < lines; i++)
            file << line(i) << '\n';
    }
    tdGlobalConfig global;
    tdInstance instance("tarvixd");
    tdFlowParser parser;
    tfaRulesContext::parser = &parser;
    BenchContext context;
    auto action =
        tfaAction::Create(&context, "list", 1, {{"criteria", path}, {"targets", SINK}});
    unlink(path.c_str());
    // As the plug-in does after every load.
    parser.ClearCache();
    // What the list keeps for as long as the configuration stays loaded.
    state.counters["list_mb"] = ResidentMB() - resident_before;

    auto flow = std::make_shared<tdFlow>();
    tdAddr::Create(flow->lower_addr, "192.168.1.10");
    tdAddr::Create(flow->upper_addr, "93.184.216.34");
    flow->lower_map = tdFlow::LOWER_MAP_LOCAL;
    flow->ip_version = 4;
    flow->ip_protocol = 6;
    flow->host_server_name = "www.example.com";
    tdFlowParams params;
    // The first event compiles what the parser keeps; the figure is for the events after it.
    if (action->ProcessFlow(tdPluginProcessor::EVENT_DPI_NEW, flow, params) != tfaAction::AR_NO_MATCH)
        state.SkipWithError("a line of the list matches");
    for (auto _ : state)
        benchmark::DoNotOptimize(action->ProcessFlow(tdPluginProcessor::EVENT_DPI_NEW, flow, params));
    state.counters["lines"] = lines;
    tfaRulesContext::parser = nullptr;
}

void AddressList(benchmark::State &state) { RunList(state, AddressLine); }
BENCHMARK(AddressList)->Arg(10)->Arg(1000)->Arg(1100);
BENCHMARK(AddressList)->Arg(LARGE)->Iterations(LARGE_ITERATIONS);

void RegexList(benchmark::State &state) { RunList(state, RegexLine); }
BENCHMARK(RegexList)->Arg(10);
BENCHMARK(RegexList)->Arg(LARGE)->Iterations(LARGE_ITERATIONS);
} // namespace

BENCHMARK_MAIN();
