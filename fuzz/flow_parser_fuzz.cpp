// Feeds arbitrary text to the flow expression parser and evaluates whatever compiles against a
// flow with every kind of field set and an intel document: no input may crash, hang or leak.
// Built and run by `make fuzz`.

#include "host/flow.hpp"
#include "host/flow_parser.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace
{
std::shared_ptr<tdFlow> MakeFlow()
{
    auto flow = std::make_shared<tdFlow>();
    tdAddr::Create(flow->lower_addr, "192.168.1.10");
    tdAddr::Create(flow->upper_addr, "2001:db8::1");
    tdAddr::Create(flow->lower_mac, "00:11:22:33:44:55");
    flow->lower_map = tdFlow::LOWER_MAP_OTHER;
    flow->master_protocol = 91;
    flow->tunnel_type = tdFlow::TUNNEL_GTP;
    flow->host_server_name = "www.example.com";
    flow->tls_alpn = {"h2"};
    flow->tls_cert_fingerprint = {0xde, 0xad};
    flow->digest_history = {1, 2};
    flow->risks = {15};
    flow->tags = {"vip"};
    flow->stats.lower_rate = 1.5;
    return flow;
}

const tdFlowParams PARAMS{
    {"intel", json::parse(R"({"score": 70, "name": "x", "list": [1, "a", null, [2]],
                              "obj": {"a": {"b": 1.5}}, "ip": "10.0.0.1", "big": 18446744073709551615})")}};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static tdFlowParser parser(64);
    static const std::shared_ptr<tdFlow> flow = MakeFlow();
    std::string expression(reinterpret_cast<const char *>(data), size);
    try {
        parser.Parse(flow, PARAMS, expression);
        parser.Parse(flow, {}, expression);
    } catch (const std::string &) {
    }
    return 0;
}
