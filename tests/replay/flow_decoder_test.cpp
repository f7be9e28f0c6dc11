// Decoding the flow JSON of sink payloads back into flow records.
#include "encoding/flow_encode.hpp"
#include "host/exception.hpp"
#include "host/global_config.hpp"
#include "tools/replay/flow_decoder.hpp"
#include "tools/replay/flow_generator.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sstream>

namespace
{
const tdFlags<tdFlow::EncodeFlags> all_parts =
    tdFlags<tdFlow::EncodeFlags>(tdFlow::ENCODE_METADATA) | tdFlow::ENCODE_TUNNELS |
    tdFlow::ENCODE_STATS;

// The replay host reports both cache flags, as the generator's host does.
class FlowDecoder : public ::testing::Test
{
protected:
    FlowDecoder()
    {
        config.options =
            tdFlags<tdGlobalConfig::Options>(tdGlobalConfig::GO_DHC) | tdGlobalConfig::GO_FHC;
    }

    static json Reencode(const json &flow_json)
    {
        tdFlow flow;
        tfaFlowDecoder::Decode(flow_json, flow);
        json encoded;
        flow.Encode(encoded, flow.stats, all_parts);
        return encoded;
    }

    tdGlobalConfig config;
};

TEST_F(FlowDecoder, GeneratorOutputRoundTrips)
{
    for (uint64_t seed : {1u, 7u, 2024u}) {
        tfaFlowGenerator generator(seed);
        for (size_t i = 0; i < 600; i++) {
            json payload = generator.Next();
            SCOPED_TRACE("seed " + std::to_string(seed) + " event " + std::to_string(i) + ": " +
                         payload.dump());
            ASSERT_EQ(Reencode(payload["flow"]), payload["flow"]);
        }
    }
}

// Hand-written records that reach the members the generator leaves out.
TEST_F(FlowDecoder, HandWrittenRecordsRoundTrip)
{
    const char *rows[] = {
        // GTP tunnel with both TEIDs and an other-type the tunnel table names "unsupported".
        R"({"digest": "00000000000000aa", "digest_prev": ["00000000000000aa"], "last_seen_at": 5,
            "ip_protocol": 17, "ip_version": 4,
            "gtp": {"version": 1, "ip_version": 4, "ip_dscp": 0, "local_ip": "10.0.0.1",
                    "other_ip": "10.0.0.2", "local_port": 2152, "other_port": 2152,
                    "local_teid": 305419896, "other_teid": 1, "other_type": "unsupported"}})",
        // SSDP keeps its user agent apart from HTTP's; STUN over IPv6 with every address.
        R"({"digest": "0000000000000001", "digest_prev": ["0000000000000001"], "last_seen_at": 0,
            "detected_protocol": 17, "ssdp": {"user_agent": "UPnP/1.0"},
            "stun": {"mapped": "[2001:db8::1]:3478", "peer": "192.0.2.1:1", "relayed": "[::1]:0",
                     "response": "198.51.100.1:65535", "other": "203.0.113.9:9"}})",
        // Negative risk identifiers, tags, DHCP and mDNS, and a record whose origin is upper.
        R"({"digest": "ffffffffffffffff", "digest_prev": ["0000000000000002", "ffffffffffffffff"],
            "last_seen_at": 1, "local_origin": false, "risks": {"risks": [-1, 0, 57],
            "ndpi_risk_score": 1, "ndpi_risk_score_client": 2, "ndpi_risk_score_server": 3},
            "tags": ["a", "b"], "dhcp": {"fingerprint": "1,3,6", "class_ident": "MSFT 5.0"},
            "mdns": {"answer": "printer.local"}, "other_type": "broadcast",
            "local_mac": "00:11:22:33:44:55", "other_mac": "ff:ff:ff:ff:ff:ff"})",
        // Privacy placeholders read back as the addresses they spell.
        R"({"digest": "0000000000000003", "digest_prev": ["0000000000000003"], "last_seen_at": 2,
            "local_ip": "fe:80::ffff:7fff:fd", "other_ip": "fe:80::ffff:7fff:fe",
            "local_mac": "00:52:14:00:00:00", "other_mac": "00:52:ff:00:00:00"})",
    };
    for (const char *row : rows) {
        SCOPED_TRACE(row);
        json input = json::parse(row);
        json output = Reencode(input);
        // The encoder writes the members a record always has; compare what the row gave.
        for (const auto &member : input.items())
            EXPECT_EQ(output[member.key()], member.value()) << member.key();
    }
}

TEST_F(FlowDecoder, FieldsAndInference)
{
    struct Row {
        const char *name;
        const char *input;
        std::function<void(const tdFlow &)> check;
    };
    const Row rows[] = {
        {"empty record takes the defaults", "{}",
         [](const tdFlow &f) {
             EXPECT_EQ(f.digest, 0u);
             EXPECT_EQ(f.lower_map, tdFlow::LOWER_MAP_LOCAL);
             EXPECT_EQ(f.origin, tdFlow::ORIGIN_UNKNOWN);
             EXPECT_FALSE(f.lower_addr.IsSet());
             EXPECT_EQ(f.master_protocol, 0u);
             EXPECT_EQ(f.tunnel_type, tdFlow::TUNNEL_NONE);
         }},
        {"local is the lower endpoint",
         R"({"local_ip": "192.0.2.1", "local_port": 1234, "other_ip": "2001:db8::7",
             "other_port": 443, "local_mac": "00:00:00:00:00:00", "other_mac": "02:00:5e:00:00:01"})",
         [](const tdFlow &f) {
             EXPECT_EQ(f.lower_addr.GetString(), "192.0.2.1");
             EXPECT_EQ(f.lower_addr.GetPort(), 1234);
             EXPECT_EQ(f.upper_addr.GetString(), "2001:db8::7");
             EXPECT_EQ(f.upper_addr.GetPort(), 443);
             EXPECT_FALSE(f.lower_mac.IsSet());
             EXPECT_EQ(f.upper_mac.GetString(), "02:00:5e:00:00:01");
         }},
        {"local_origin picks the opener", R"({"local_origin": false})",
         [](const tdFlow &f) { EXPECT_EQ(f.origin, tdFlow::ORIGIN_UPPER); }},
        {"ssl on TLS makes the master protocol TLS",
         R"({"detected_protocol": 196, "ssl": {"version": "0x0303", "cipher_suite": "0xc02f"}})",
         [](const tdFlow &f) {
             EXPECT_EQ(f.master_protocol, 91u);
             EXPECT_EQ(f.tls_version, 0x0303);
             EXPECT_EQ(f.tls_cipher_suite, 0xc02f);
         }},
        {"ssl on QUIC leaves the master protocol alone",
         R"({"detected_protocol": 188, "ssl": {"client_sni": "example.org"}})",
         [](const tdFlow &f) {
             EXPECT_EQ(f.master_protocol, 0u);
             EXPECT_EQ(f.host_server_name, "example.org");
         }},
        {"ssdp user agent makes the master protocol SSDP",
         R"({"detected_protocol": 7, "ssdp": {"user_agent": "UPnP/1.0"}})",
         [](const tdFlow &f) {
             EXPECT_EQ(f.master_protocol, 12u);
             EXPECT_TRUE(f.HasSSDPUserAgent());
             EXPECT_FALSE(f.HasHttpUserAgent());
         }},
        {"Unknown names are unset",
         R"({"detected_protocol_name": "Unknown", "detected_application_name": "Unknown"})",
         [](const tdFlow &f) {
             EXPECT_EQ(f.detected_protocol_name, "");
             EXPECT_EQ(f.detected_application_name, "");
         }},
        {"digest_prev alone gives the digest",
         R"({"digest_prev": ["0000000000000010", "00000000000000FF"]})",
         [](const tdFlow &f) {
             EXPECT_EQ(f.digest, 0xffu);
             EXPECT_EQ(f.digest_history, (std::vector<uint64_t>{0x10, 0xff}));
         }},
        {"gtp keeps TEIDs in network order", R"({"gtp": {"local_teid": 1}})",
         [](const tdFlow &f) {
             EXPECT_EQ(f.tunnel_type, tdFlow::TUNNEL_GTP);
             EXPECT_EQ(f.gtp.lower_teid, htonl(1));
         }},
        {"fingerprints are bytes", R"({"ssl": {"fingerprint": "00ff10"}, "bt": {"info_hash": ""}})",
         [](const tdFlow &f) {
             EXPECT_EQ(f.tls_cert_fingerprint, (std::vector<uint8_t>{0x00, 0xff, 0x10}));
             EXPECT_TRUE(f.bt_info_hash.empty());
         }},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        tdFlow flow;
        tfaFlowDecoder::Decode(json::parse(row.input), flow);
        row.check(flow);
    }
}

TEST_F(FlowDecoder, FaultsNameTheMember)
{
    struct Row {
        const char *input;
        const char *message;
    };
    const Row rows[] = {
        {"[]", "flow: expected an object: []"},
        {R"({"ip_protocol": 256})", "flow.ip_protocol: expected an unsigned number up to 255: 256"},
        {R"({"other_port": -1})", "flow.other_port: expected an unsigned number up to 65535: -1"},
        {R"({"vlan_id": 1.5})", "flow.vlan_id: expected an unsigned number up to 65535: 1.5"},
        {R"({"other_port": 443})", "flow.other_port: needs flow.other_ip"},
        {R"({"ip_nat": 1})", "flow.ip_nat: expected a boolean: 1"},
        {R"({"local_ip": "host.example"})",
         "flow.local_ip: expected an IPv4 or IPv6 address: \"host.example\""},
        {R"({"local_ip": "00:11:22:33:44:55"})",
         "flow.local_ip: expected an IPv4 or IPv6 address: \"00:11:22:33:44:55\""},
        {R"({"local_mac": "192.0.2.1"})", "flow.local_mac: expected a MAC address: \"192.0.2.1\""},
        {R"({"digest": "abc"})",
         "flow.digest: expected a string of 16 hexadecimal digits: \"abc\""},
        {R"({"digest": "000000000000000a", "digest_prev": ["000000000000000b"]})",
         "flow.digest_prev: last entry differs from flow.digest"},
        {R"({"digest_prev": "000000000000000b"})",
         "flow.digest_prev: expected an array of digest strings: \"000000000000000b\""},
        {R"({"other_por": 1})", "flow.other_por: unknown member"},
        {R"({"ssl": {"cipher": "0x1301"}})", "flow.ssl.cipher: unknown member"},
        {R"({"ssl": {"version": "771"}})",
         "flow.ssl.version: expected \"0x\" and up to four hexadecimal digits: \"771\""},
        {R"({"ssl": {"version": "0x10000"}})",
         "flow.ssl.version: expected \"0x\" and up to four hexadecimal digits: \"0x10000\""},
        {R"({"ssl": {"fingerprint": "abc"}})",
         "flow.ssl.fingerprint: expected hexadecimal digits, two a byte: \"abc\""},
        {R"({"ssl": {"alpn": ["h2", 3]}})",
         "flow.ssl.alpn: expected an array of strings: [\"h2\",3]"},
        {R"({"ssl": []})", "flow.ssl: expected an object: []"},
        {R"({"other_type": "far"})",
         "flow.other_type: expected one of broadcast, error, local, multicast, remote, unknown, "
         "unsupported: \"far\""},
        {R"({"gtp": {"other_type": "multicast"}})",
         "flow.gtp.other_type: expected one of error, local, remote, unsupported: \"multicast\""},
        {R"({"host_server_name": "a.example", "ssl": {"client_sni": "b.example"}})",
         "flow.ssl.client_sni: differs from flow.host_server_name"},
        {R"({"http": {"user_agent": "a"}, "ssdp": {"user_agent": "b"}})",
         "flow.http.user_agent: a flow has one user agent, and it is in flow.ssdp.user_agent"},
        {R"({"detected_protocol": 12, "http": {"user_agent": "a"}})",
         "flow.http.user_agent: an SSDP flow keeps it in flow.ssdp.user_agent"},
        {R"({"ssl": {}, "ssdp": {"user_agent": "b"}})",
         "flow.ssdp: cannot go with flow.ssl unless the detected protocol is SSDP (12)"},
        {R"({"stun": {"mapped": "[2001:db8::1"}})",
         "flow.stun.mapped: expected an address with its port: \"[2001:db8::1\""},
        {R"({"stun": {"mapped": "192.0.2.1:70000"}})",
         "flow.stun.mapped: expected an address with its port: \"192.0.2.1:70000\""},
        {R"({"risks": {"risks": [1.5]}})",
         "flow.risks.risks: expected an array of risk numbers: [1.5]"},
        {R"({"tags": "vip"})", "flow.tags: expected an array of strings: \"vip\""},
        {R"({"local_rate": "fast"})", "flow.local_rate: expected a number: \"fast\""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.input);
        tdFlow flow;
        try {
            tfaFlowDecoder::Decode(json::parse(row.input), flow);
            ADD_FAILURE() << "accepted";
        } catch (const tdException &e) {
            EXPECT_EQ(std::string(e.what()), row.message);
        }
    }
}

TEST(FlowDecoderExcerpt, LongValuesAreCut)
{
    json input = {{"dns_host_name", json::array({std::string(80, 'x')})}};
    tdFlow flow;
    try {
        tfaFlowDecoder::Decode(input, flow);
        ADD_FAILURE() << "accepted";
    } catch (const tdException &e) {
        EXPECT_EQ(std::string(e.what()),
                  "flow.dns_host_name: expected a string: [\"" + std::string(62, 'x') + "...");
    }
}

TEST(FlowDecoderDigest, TupleDigestKeysConnections)
{
    auto digest = [](const char *text) {
        tdFlow flow;
        tfaFlowDecoder::Decode(json::parse(text), flow);
        return tfaFlowDecoder::TupleDigest(flow);
    };
    const char *base = R"({"ip_protocol": 6, "local_ip": "192.0.2.1", "local_port": 1000,
                           "other_ip": "198.51.100.1", "other_port": 443})";
    EXPECT_EQ(digest(base), digest(R"({"other_port": 443, "other_ip": "198.51.100.1",
        "ip_protocol": 6, "local_port": 1000, "local_ip": "192.0.2.1", "vlan_id": 3})"));
    EXPECT_NE(digest(base), digest(R"({"ip_protocol": 17, "local_ip": "192.0.2.1",
        "local_port": 1000, "other_ip": "198.51.100.1", "other_port": 443})"));
    EXPECT_NE(digest(base), digest(R"({"ip_protocol": 6, "local_ip": "192.0.2.1",
        "local_port": 1001, "other_ip": "198.51.100.1", "other_port": 443})"));
    EXPECT_NE(digest("{}"), 0u);
}
} // namespace
