// The flow record's member names live in three places that may not include each other: the
// encoder (the plug-in's output), the flow expression language (the agent's) and the replay
// decoder (the tools'). These tests hold them to one vocabulary, the encoder's.
#include "agent/expression/flow_expression_field.hpp"
#include "encoding/flow_encode.hpp"
#include "host/exception.hpp"
#include "host/global_config.hpp"
#include "tools/replay/flow_decoder.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <set>
#include <string>

namespace
{
constexpr uint32_t PROTO_TLS = 91;
constexpr uint32_t PROTO_SSDP = 12;

// Written by the sink target beside the flow record, not in it; expressions read them too.
const std::set<std::string> PAYLOAD_KEYS = {"interface", "internal"};

const tdFlags<tdFlow::EncodeFlags> ALL_PARTS =
    tdFlags<tdFlow::EncodeFlags>(tdFlow::ENCODE_METADATA) | tdFlow::ENCODE_TUNNELS |
    tdFlow::ENCODE_STATS;

tdAddr Addr(const std::string &text, uint16_t port = 0)
{
    tdAddr addr;
    EXPECT_TRUE(tdAddr::Create(addr, text)) << text;
    addr.SetPort(port);
    return addr;
}

// A TCP flow with every optional member the encoder writes set: TLS details, a GTP tunnel, the
// text of every protocol dissector and all STUN addresses.
void FullFlow(tdFlow &f)
{
    f.ip_version = 4;
    f.ip_protocol = IPPROTO_TCP;
    f.lower_map = tdFlow::LOWER_MAP_LOCAL;
    f.lower_mac = Addr("00:11:22:33:44:55");
    f.upper_mac = Addr("aa:bb:cc:dd:ee:ff");
    f.lower_addr = Addr("192.168.1.10", 51000);
    f.upper_addr = Addr("198.51.100.7", 443);
    f.digest_history = {0x1234};
    f.master_protocol = f.detected_protocol = PROTO_TLS;
    f.detected_protocol_name = "TLS";
    f.detected_application_name = "tarvix.example";
    f.dns_host_name = f.host_server_name = "www.example.com";
    f.user_agent = f.http_url = f.dhcp_fingerprint = f.dhcp_class_ident = "text";
    f.ssh_client_agent = f.ssh_server_agent = f.mdns_answer = "text";
    f.bt_info_hash = {0x01, 0x02};
    f.tls_version = f.tls_cipher_suite = f.tls_ech_version = 0x0303;
    f.tls_server_cn = f.tls_issuer_dn = f.tls_subject_dn = f.tls_client_ja4 = "text";
    f.tls_cert_fingerprint = {0xde, 0xad};
    f.tls_alpn = f.tls_alpn_server = {"h2"};
    for (tdAddr *stun :
         {&f.stun_mapped, &f.stun_peer, &f.stun_relayed, &f.stun_response, &f.stun_other})
        *stun = Addr("203.0.113.9", 3478);
    f.risks = {15};
    f.tags = {"tag"};
    f.tunnel_type = tdFlow::TUNNEL_GTP;
    f.gtp.version = 1;
    f.gtp.ip_version = 4;
    f.gtp.lower_map = tdFlow::LOWER_MAP_LOCAL;
    f.gtp.lower_addr = Addr("10.0.0.1", 2152);
    f.gtp.upper_addr = Addr("10.0.0.2", 2152);
    f.gtp.lower_teid = htonl(7);
    f.gtp.upper_teid = htonl(8);
}

// The one member a TLS flow cannot have: a user agent reads as SSDP's on an SSDP flow.
void SsdpFlow(tdFlow &f)
{
    f.ip_version = 4;
    f.ip_protocol = IPPROTO_UDP;
    f.lower_map = tdFlow::LOWER_MAP_LOCAL;
    f.lower_addr = Addr("192.168.1.10", 1900);
    f.upper_addr = Addr("239.255.255.250", 1900);
    f.digest_history = {0x5678};
    f.master_protocol = f.detected_protocol = PROTO_SSDP;
    f.detected_protocol_name = "SSDP";
    f.user_agent = "text";
}

// Member paths of an encoded record, nested keys joined with "."; groups count as members too.
void CollectPaths(const json &object, const std::string &prefix, std::set<std::string> &paths)
{
    for (const auto &member : object.items()) {
        std::string path = prefix + member.key();
        paths.insert(path);
        if (member.value().is_object())
            CollectPaths(member.value(), path + ".", paths);
    }
}

std::string Join(const std::set<std::string> &names)
{
    std::string text;
    for (const auto &name : names)
        text += (text.empty() ? "" : ", ") + name;
    return text;
}

class FlowNames : public ::testing::Test
{
protected:
    FlowNames()
    {
        config.options =
            tdFlags<tdGlobalConfig::Options>(tdGlobalConfig::GO_DHC) | tdGlobalConfig::GO_FHC;
        for (auto build : {FullFlow, SsdpFlow}) {
            tdFlow flow;
            build(flow);
            json encoded;
            flow.Encode(encoded, flow.stats, ALL_PARTS);
            records.push_back(encoded);
            CollectPaths(encoded, "", written);
        }
    }

    tdGlobalConfig config;
    std::vector<json> records;
    std::set<std::string> written;
};

TEST_F(FlowNames, ExpressionFieldsAreEncodedMembers)
{
    std::set<std::string> unknown;
    for (std::string_view name : tdFlowExpressionField::Names()) {
        std::string key(name);
        if (written.count(key) == 0 && PAYLOAD_KEYS.count(key) == 0)
            unknown.insert(key);
    }
    EXPECT_TRUE(unknown.empty()) << "expression fields the encoder never writes: " << Join(unknown);
}

// The decoder refuses a member it does not read, and a member it reads under a name the
// encoder does not write comes back empty: either shows as a difference, by member name.
TEST_F(FlowNames, DecoderReadsBackEveryEncodedMember)
{
    for (const json &record : records) {
        SCOPED_TRACE(record["detected_protocol_name"].get<std::string>());
        tdFlow flow;
        try {
            tfaFlowDecoder::Decode(record, flow);
        } catch (const tdException &e) {
            ADD_FAILURE() << "an encoded member the decoder does not read: " << e.what();
            continue;
        }
        json again;
        flow.Encode(again, flow.stats, ALL_PARTS);

        std::set<std::string> differing;
        for (const auto &patch : json::diff(record, again))
            differing.insert(patch["path"].get<std::string>());
        EXPECT_TRUE(differing.empty()) << "members lost in decoding: " << Join(differing);
    }
}
} // namespace
