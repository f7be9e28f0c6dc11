// Cost of evaluating cached flow expressions (the worker's hot path) and of compiling one.
#include "host/flow.hpp"
#include "host/flow_parser.hpp"

#include <benchmark/benchmark.h>
#include <memory>
#include <string>

namespace
{
std::shared_ptr<tdFlow> MakeFlow()
{
    auto flow = std::make_shared<tdFlow>();
    tdAddr::Create(flow->lower_addr, "192.168.1.10");
    flow->lower_addr.SetPort(51000);
    tdAddr::Create(flow->upper_addr, "93.184.216.34");
    flow->upper_addr.SetPort(443);
    flow->lower_map = tdFlow::LOWER_MAP_LOCAL;
    flow->ip_protocol = 6;
    flow->master_protocol = 91;
    flow->detected_protocol = 91;
    flow->detected_protocol_name = "TLS";
    flow->host_server_name = "api.telemetry.example.com";
    flow->risks = {15, 37};
    flow->tags = {"blocked", "vip"};
    return flow;
}

const char *const EXPRESSIONS[] = {
    "other_port == 443 && ip_protocol == 6",
    "other_ip == 93.184.0.0/16",
    "local_ip in [10.0.0.0/8, 172.16.0.0/12, 192.168.0.0/16]",
    "detected_protocol_name == 'TLS'",
    "ssl.client_sni =~ '(^|\\.)telemetry\\.example\\.com$'",
    "15 in risks && tags has 'vip'",
    "intel.score > 50",
};

void Evaluate(benchmark::State &state)
{
    tdFlowParser parser;
    auto flow = MakeFlow();
    tdFlowParams params{{"intel", json{{"score", 70}}}};
    std::string expression = EXPRESSIONS[state.range(0)];
    state.SetLabel(expression);
    for (auto _ : state)
        benchmark::DoNotOptimize(parser.Parse(flow, params, expression));
}
BENCHMARK(Evaluate)->DenseRange(0, std::size(EXPRESSIONS) - 1);

// A regular expression against a long text whose backtracking cost would be exponential.
void HostileRegex(benchmark::State &state)
{
    tdFlowParser parser;
    auto flow = MakeFlow();
    flow->host_server_name = std::string(state.range(0), 'a');
    std::string expression = "host_server_name =~ '(a*)*b'";
    for (auto _ : state)
        benchmark::DoNotOptimize(parser.Parse(flow, {}, expression));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(HostileRegex)->Range(1 << 10, 1 << 16);

// What a cache miss costs: compiling, regular expression included.
void Compile(benchmark::State &state)
{
    tdFlowParser parser;
    auto flow = MakeFlow();
    std::string expression = "other_ip == 93.184.0.0/16 && (ssl.client_sni =~ '\\.example\\.com$' "
                             "|| detected_protocol_name in ['TLS', 'QUIC']) && !(15 in risks)";
    for (auto _ : state) {
        parser.ClearCache();
        benchmark::DoNotOptimize(parser.Parse(flow, {}, expression));
    }
}
BENCHMARK(Compile);
} // namespace

BENCHMARK_MAIN();
