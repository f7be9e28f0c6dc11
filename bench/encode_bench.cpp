// Cost of encoding a TLS flow record, beside the bare build of a JSON object of the same shape:
// the golden TLS record, member by member, with nothing computed.
#include "alloc_counter.hpp"
#include "encoding/flow_encode.hpp"
#include "host/global_config.hpp"

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace
{
const tdFlags<tdFlow::EncodeFlags> ENCODE_ALL =
    tdFlags<tdFlow::EncodeFlags>(tdFlow::ENCODE_METADATA) | tdFlow::ENCODE_TUNNELS |
    tdFlow::ENCODE_STATS;
const char *const TLS_RECORD = TFA_SOURCE_DIR "/tests/encoding/golden/tls.json";

tdAddr Addr(const std::string &text, uint16_t port = 0)
{
    tdAddr addr;
    tdAddr::Create(addr, text);
    addr.SetPort(port);
    return addr;
}

// The flow whose record is the golden TLS file.
std::unique_ptr<tdFlow> TlsFlow()
{
    auto f = std::make_unique<tdFlow>();
    f->ip_version = 4;
    f->ip_protocol = IPPROTO_TCP;
    f->lower_map = tdFlow::LOWER_MAP_LOCAL;
    f->origin = tdFlow::ORIGIN_LOWER;
    f->other_type = tdFlow::OTHER_REMOTE;
    f->lower_mac = Addr("00:11:22:33:44:55");
    f->upper_mac = Addr("aa:bb:cc:dd:ee:ff");
    f->lower_addr = Addr("192.168.1.10", 51000);
    f->upper_addr = Addr("142.250.72.14", 443);
    f->digest = 0x1111;
    f->digest_history = {0x0123456789abcdefull, 0xfedcba9876543210ull};
    f->ts_first_seen = 1700000000000;
    f->ts_last_seen = 1700000005000;
    f->ip_nat = true;
    f->dhc_hit = true;
    f->detection_updated = true;
    f->master_protocol = 91;
    f->detected_protocol = 91;
    f->detected_protocol_name = "TLS";
    f->detected_application = 120;
    f->detected_application_name = "tarvix.google";
    f->category = {7, 5, 3, 2, 1, 0};
    f->dns_host_name = f->host_server_name = "www.example.com";
    f->tls_version = 0x0303;
    f->tls_cipher_suite = 0x1301;
    f->tls_ech_version = 0xfe0d;
    f->tls_server_cn = "*.example.com";
    f->tls_issuer_dn = "CN=Example CA, O=Example";
    f->tls_subject_dn = "CN=*.example.com";
    f->tls_client_ja4 = "t13d1516h2_8daaf6152771_b186095e22b6";
    f->tls_cert_fingerprint = {0xde, 0xad, 0xbe, 0xef, 0x00, 0x01};
    f->tls_alpn = {"h2", "http/1.1"};
    f->tls_alpn_server = {"h2"};
    f->risks = {40, 15};
    f->risk_score = 60;
    f->risk_score_client = 50;
    f->risk_score_server = 10;
    f->tags = {"video", "streaming"};
    f->stats = {1200, 54000, 55200, 1500, 56000, 10, 40, 50, 12, 44, 6, 1.5f, 250.25f, 1, 2, 3};
    return f;
}

void CountAllocations(benchmark::State &state, uint64_t before)
{
    state.counters["allocs"] = benchmark::Counter(double(AllocationCount() - before),
                                                  benchmark::Counter::kAvgIterations);
}

void Encode(benchmark::State &state)
{
    tdGlobalConfig config;
    config.options = tdFlags<tdGlobalConfig::Options>(tdGlobalConfig::GO_DHC) | tdGlobalConfig::GO_FHC;
    auto flow = TlsFlow();
    json record;
    flow->Encode(record, flow->stats, ENCODE_ALL);
    std::ifstream golden(TLS_RECORD);
    if (record != json::parse(golden))
        state.SkipWithError("the flow no longer encodes to the golden TLS record");
    uint64_t before = AllocationCount();
    for (auto _ : state) {
        json j;
        flow->Encode(j, flow->stats, ENCODE_ALL);
        benchmark::DoNotOptimize(j);
    }
    CountAllocations(state, before);
}
BENCHMARK(Encode);

// One member of the record: its one- or two-key path and its value.
struct Member {
    std::string group;
    std::string key;
    json value;
};

std::vector<Member> RecordMembers()
{
    std::ifstream in(TLS_RECORD);
    const json record = json::parse(in);
    std::vector<Member> members;
    for (const auto &item : record.items()) {
        if (!item.value().is_object()) {
            members.push_back({"", item.key(), item.value()});
            continue;
        }
        for (const auto &inner : item.value().items())
            members.push_back({item.key(), inner.key(), inner.value()});
    }
    return members;
}

// What building the record costs the JSON library alone: the same members assigned in the same
// order, values copied from ready-made ones.
void BareBuild(benchmark::State &state)
{
    const std::vector<Member> members = RecordMembers();
    uint64_t before = AllocationCount();
    for (auto _ : state) {
        json j;
        for (const auto &member : members) {
            if (member.group.empty())
                j[member.key] = member.value;
            else
                j[member.group][member.key] = member.value;
        }
        benchmark::DoNotOptimize(j);
    }
    CountAllocations(state, before);
    state.counters["members"] = double(members.size());
}
BENCHMARK(BareBuild);
} // namespace

BENCHMARK_MAIN();
