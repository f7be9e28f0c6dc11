// Cost of reading a configuration with many actions: it must grow linearly with their number
// (compare the time per action across the range; Complexity reports the fitted order).
#include "plugin/config_parser.hpp"

#include <benchmark/benchmark.h>
#include <string>

namespace
{
std::string Configuration(int64_t actions)
{
    std::string text = R"({"targets": {"t": {"target_type": "log"}}, "actions": {)";
    for (int64_t i = 0; i < actions; i++)
        text += (i == 0 ? "" : ",") + std::string("\"a") + std::to_string(i) +
                R"(": {"criteria": "pi:dns", "targets": "t", "priority": 1})";
    return text + "}}";
}

void ParseActions(benchmark::State &state)
{
    const std::string text = Configuration(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(tfaConfigParser::Parse("fa0", "bench.json", text));
    state.SetComplexityN(state.range(0));
}
BENCHMARK(ParseActions)->RangeMultiplier(4)->Range(1 << 10, 1 << 17)->Complexity();
} // namespace

BENCHMARK_MAIN();
