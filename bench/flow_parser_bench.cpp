// Cost of evaluating cached flow expressions (the worker's hot path), through the parser and
// through compiled handles, and of compiling one.
#include "host/flow.hpp"
#include "host/flow_parser.hpp"

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <string>
#include <unistd.h>
#include <vector>

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

// The same expressions through a compiled handle. The flow's lock is taken once, outside the
// loop, as a caller that evaluates several expressions on one event holds it across them.
void EvaluateCompiled(benchmark::State &state)
{
    tdFlowParser parser;
    auto flow = MakeFlow();
    tdFlowParams params{{"intel", json{{"score", 70}}}};
    std::string expression = EXPRESSIONS[state.range(0)];
    state.SetLabel(expression);
    auto compiled = td_flow_expression_compile(parser, expression);
    std::lock_guard<std::recursive_mutex> guard(flow->lock);
    for (auto _ : state)
        benchmark::DoNotOptimize(td_flow_expression_evaluate(*compiled, *flow, params));
}
BENCHMARK(EvaluateCompiled)->DenseRange(0, std::size(EXPRESSIONS) - 1);

// An address list file of `lines` addresses and a few networks, none holding the flow's peer, so
// every prefix length the file uses is probed: the cost must not grow with the file.
void FileList(benchmark::State &state)
{
    char path[] = "/tmp/tfa-bench-list-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) {
        state.SkipWithError("cannot create a list file");
        return;
    }
    close(fd);
    {
        std::ofstream list(path);
        list << "# blocked\n10.0.0.0/8\n172.16.0.0/12\n2001:db8::/32\n";
        for (int64_t i = 0; i < state.range(0); i++)
            list << "100." << (i >> 16 & 255) << '.' << (i >> 8 & 255) << '.' << (i & 255) << '\n';
    }
    tdFlowParser parser;
    auto flow = MakeFlow();
    auto compiled =
        td_flow_expression_compile(parser, "other_ip in file('" + std::string(path) + "')");
    remove(path);
    const tdFlowParams none;
    std::lock_guard<std::recursive_mutex> guard(flow->lock);
    for (auto _ : state)
        benchmark::DoNotOptimize(td_flow_expression_evaluate(*compiled, *flow, none));
    state.counters["lines"] = static_cast<double>(state.range(0));
}
BENCHMARK(FileList)->Arg(10)->Arg(100000);

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
// The reference: a compiled packet filter of about the same weight, run on a packet that it accepts.
const char *const BPF_FILTER = "tcp and dst port 443 and net 10.0.0.0/8";
constexpr int ETHER_HEADER = 14;
constexpr int IPV4_HEADER = 20;
constexpr int TCP_HEADER = 20;
constexpr int SNAPLEN = 65535;

std::vector<u_char> TcpPacket()
{
    std::vector<u_char> packet(ETHER_HEADER + IPV4_HEADER + TCP_HEADER);
    u_char *ether = packet.data();
    const uint16_t ethertype = htons(0x0800);
    memcpy(ether + 12, &ethertype, sizeof(ethertype));

    u_char *ip = ether + ETHER_HEADER;
    ip[0] = 0x45;
    const uint16_t total = htons(IPV4_HEADER + TCP_HEADER);
    memcpy(ip + 2, &total, sizeof(total));
    ip[8] = 64;
    ip[9] = IPPROTO_TCP;
    inet_pton(AF_INET, "192.168.1.10", ip + 12);
    inet_pton(AF_INET, "10.1.2.3", ip + 16);

    u_char *tcp = ip + IPV4_HEADER;
    const uint16_t source = htons(51000), destination = htons(443);
    memcpy(tcp, &source, sizeof(source));
    memcpy(tcp + 2, &destination, sizeof(destination));
    tcp[12] = 0x50;
    return packet;
}

void BpfFilter(benchmark::State &state)
{
    pcap_t *dead = pcap_open_dead(DLT_EN10MB, SNAPLEN);
    bpf_program program;
    if (pcap_compile(dead, &program, BPF_FILTER, 1, PCAP_NETMASK_UNKNOWN) != 0) {
        state.SkipWithError(pcap_geterr(dead));
        pcap_close(dead);
        return;
    }
    const std::vector<u_char> packet = TcpPacket();
    const u_int length = packet.size();
    if (bpf_filter(program.bf_insns, packet.data(), length, length) == 0)
        state.SkipWithError("the filter rejects its packet");
    state.SetLabel(BPF_FILTER);
    for (auto _ : state)
        benchmark::DoNotOptimize(bpf_filter(program.bf_insns, packet.data(), length, length));
    pcap_freecode(&program);
    pcap_close(dead);
}
BENCHMARK(BpfFilter);
} // namespace

BENCHMARK_MAIN();
