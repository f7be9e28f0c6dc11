#include "encoding/flow_encode.hpp"
#include "host/exception.hpp"
#include "host/global_config.hpp"

#include <arpa/inet.h>
#include <fstream>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <memory>

namespace
{
const tdFlags<tdFlow::EncodeFlags> ENCODE_ALL =
    tdFlags<tdFlow::EncodeFlags>(tdFlow::ENCODE_METADATA) | tdFlow::ENCODE_TUNNELS |
    tdFlow::ENCODE_STATS;

tdAddr Addr(const std::string &text, uint16_t port = 0)
{
    tdAddr addr;
    EXPECT_TRUE(tdAddr::Create(addr, text)) << text;
    addr.SetPort(port);
    return addr;
}

json Encode(const tdFlow &flow, tdFlags<tdFlow::EncodeFlags> flags = ENCODE_ALL)
{
    json j;
    flow.Encode(j, flow.stats, flags);
    return j;
}

json ReadGolden(const std::string &name)
{
    const std::string path = std::string(TFA_SOURCE_DIR) + "/tests/encoding/golden/" + name;
    std::ifstream in(path);
    EXPECT_TRUE(in.is_open()) << path;
    return json::parse(in);
}

void SetStats(tdFlowStats &s, uint64_t lower_bytes, uint64_t upper_bytes, uint32_t lower_packets,
              uint32_t upper_packets)
{
    s.lower_bytes = s.lower_total_bytes = lower_bytes;
    s.upper_bytes = s.upper_total_bytes = upper_bytes;
    s.total_bytes = lower_bytes + upper_bytes;
    s.lower_packets = s.lower_total_packets = lower_packets;
    s.upper_packets = s.upper_total_packets = upper_packets;
    s.total_packets = lower_packets + upper_packets;
}

// A local IPv4 client talking to a remote server, lower endpoint local.
void BaseFlow(tdFlow &f, uint8_t ip_protocol, const std::string &server, uint16_t server_port)
{
    f.ip_version = 4;
    f.ip_protocol = ip_protocol;
    f.lower_map = tdFlow::LOWER_MAP_LOCAL;
    f.origin = tdFlow::ORIGIN_LOWER;
    f.other_type = tdFlow::OTHER_REMOTE;
    f.lower_mac = Addr("00:11:22:33:44:55");
    f.upper_mac = Addr("aa:bb:cc:dd:ee:ff");
    f.lower_addr = Addr("192.168.1.10", 51000);
    f.upper_addr = Addr(server, server_port);
}

void TlsFlow(tdFlow &f)
{
    BaseFlow(f, IPPROTO_TCP, "142.250.72.14", 443);
    f.digest = 0x1111;
    f.digest_history = {0x0123456789abcdefull, 0xfedcba9876543210ull};
    f.ts_first_seen = 1700000000000;
    f.ts_last_seen = 1700000005000;
    f.ip_nat = true;
    f.dhc_hit = true;
    f.detection_updated = true;
    f.master_protocol = 91;
    f.detected_protocol = 91;
    f.detected_protocol_name = "TLS";
    f.detected_application = 120;
    f.detected_application_name = "tarvix.google";
    f.category = {7, 5, 3, 2, 1, 0};
    f.dns_host_name = f.host_server_name = "www.example.com";
    f.tls_version = 0x0303;
    f.tls_cipher_suite = 0x1301;
    f.tls_ech_version = 0xfe0d;
    f.tls_server_cn = "*.example.com";
    f.tls_issuer_dn = "CN=Example CA, O=Example";
    f.tls_subject_dn = "CN=*.example.com";
    f.tls_client_ja4 = "t13d1516h2_8daaf6152771_b186095e22b6";
    f.tls_cert_fingerprint = {0xde, 0xad, 0xbe, 0xef, 0x00, 0x01};
    f.tls_alpn = {"h2", "http/1.1"};
    f.tls_alpn_server = {"h2"};
    f.risks = {40, 15};
    f.risk_score = 60;
    f.risk_score_client = 50;
    f.risk_score_server = 10;
    f.tags = {"video", "streaming"};
    f.stats = {1200, 54000, 55200, 1500, 56000, 10, 40, 50, 12, 44, 6, 1.5f, 250.25f, 1, 2, 3};
}

void QuicFlow(tdFlow &f)
{
    f.digest = 0xabc;
    f.ts_first_seen = 1700000100000;
    f.ts_last_seen = 1700000100500;
    f.fhc_hit = true;
    f.ip_version = 6;
    f.ip_dscp = 46;
    f.ip_protocol = IPPROTO_UDP;
    f.vlan_id = 100;
    f.other_type = tdFlow::OTHER_REMOTE;
    f.lower_map = tdFlow::LOWER_MAP_UNKNOWN;
    f.lower_mac = Addr("02:00:00:00:00:01");
    f.lower_addr = Addr("2001:db8::10", 50000);
    f.upper_addr = Addr("2001:db8:ffff::1", 443);
    f.detected_protocol = 188;
    f.detected_protocol_name = "QUIC";
    f.category.protocol = 5;
    f.host_server_name = "cdn.example.net";
    f.tls_version = 0x0304;
    f.tls_cipher_suite = 0x1302;
    f.tls_alpn = {"h3"};
    SetStats(f.stats, 3000, 90000, 20, 70);
    f.stats.detection_packets = 2;
}

void DnsFlow(tdFlow &f)
{
    BaseFlow(f, IPPROTO_UDP, "192.168.1.1", 53);
    f.lower_addr.SetPort(40000);
    f.upper_mac = Addr("00:11:22:33:44:66");
    f.other_type = tdFlow::OTHER_LOCAL;
    f.digest_history = {1, 2, 3};
    f.ts_first_seen = 1700000200000;
    f.ts_last_seen = 1700000200040;
    f.soft_dissector = true;
    f.detected_protocol = 5;
    f.detected_protocol_name = "DNS";
    f.category.protocol = 14;
    f.dns_host_name = "example.org";
    f.tls_server_cn = "not.tls.example"; // no "ssl" group outside TLS and QUIC
    SetStats(f.stats, 40, 120, 1, 1);
    f.stats.detection_packets = 2;
}

void StunFlow(tdFlow &f)
{
    BaseFlow(f, IPPROTO_UDP, "198.51.100.7", 3478);
    f.lower_addr.SetPort(45000);
    f.digest = 0xaa;
    f.ts_first_seen = 1700000300000;
    f.ts_last_seen = 1700000300900;
    f.ip_nat = true;
    f.app_proto_twins = true;
    f.detection_guessed = true;
    f.detected_protocol = 78;
    f.detected_protocol_name = "STUN";
    f.detected_application = 200;
    f.detected_application_name = "tarvix.whatsapp";
    f.category.application = 9;
    f.category.protocol = 6;
    f.stun_mapped = Addr("203.0.113.5", 40000);
    f.stun_relayed = Addr("2001:db8::5", 3478);
    f.risks = {7};
    f.risk_score = f.risk_score_client = 10;
    SetStats(f.stats, 500, 700, 5, 6);
    f.stats.detection_packets = 4;
}

void GtpFlow(tdFlow &f)
{
    BaseFlow(f, IPPROTO_UDP, "224.0.0.251", 5353);
    f.lower_addr = Addr("10.45.0.2", 5353);
    f.upper_mac = Addr("01:00:5e:00:00:fb");
    f.other_type = tdFlow::OTHER_MULTICAST;
    f.digest = 0xbb;
    f.ts_first_seen = 1700000400000;
    f.ts_last_seen = 1700000400200;
    f.detected_protocol = 8;
    f.detected_protocol_name = "MDNS";
    f.category.protocol = 14;
    f.mdns_answer = "printer.local";
    f.tunnel_type = tdFlow::TUNNEL_GTP;
    f.gtp.version = 1;
    f.gtp.ip_version = 4;
    f.gtp.ip_dscp = 10;
    f.gtp.lower_map = tdFlow::LOWER_MAP_OTHER;
    f.gtp.other_type = tdFlow::OTHER_MULTICAST;
    f.gtp.lower_addr = Addr("10.0.0.1", 2152);
    f.gtp.upper_addr = Addr("10.0.0.2", 2153);
    f.gtp.lower_teid = htonl(0x11223344);
    f.gtp.upper_teid = htonl(0x55667788);
    SetStats(f.stats, 100, 0, 1, 0);
    f.stats.detection_packets = 1;
}

void PrivacyFlow(tdFlow &f)
{
    f.digest = 0xcc;
    f.ts_first_seen = 1700000500000;
    f.ts_last_seen = 1700000500300;
    f.ip_version = 6;
    f.ip_protocol = IPPROTO_TCP;
    f.lower_map = tdFlow::LOWER_MAP_LOCAL;
    f.other_type = tdFlow::OTHER_REMOTE;
    f.lower_mac = Addr("00:11:22:33:44:55");
    f.upper_mac = Addr("aa:bb:cc:dd:ee:ff");
    f.lower_addr = Addr("2001:db8::10", 60022);
    f.upper_addr = Addr("2001:db8:1::22", 22);
    f.privacy_mask = tdFlow::PRIVATE_LOWER_MAC | tdFlow::PRIVATE_UPPER_MAC |
                     tdFlow::PRIVATE_LOWER_IP | tdFlow::PRIVATE_UPPER_IP;
    f.detected_protocol = 92;
    f.detected_protocol_name = "SSH";
    f.category.protocol = 15;
    f.ssh_client_agent = "SSH-2.0-OpenSSH_9.6";
    f.ssh_server_agent = "SSH-2.0-OpenSSH_9.2p1 Debian-2";
    SetStats(f.stats, 4000, 6000, 30, 28);
    f.stats.detection_packets = 8;
}

// The lower endpoint is the remote server, and the upper (local) one opened the flow.
void LowerMap2Flow(tdFlow &f)
{
    BaseFlow(f, IPPROTO_TCP, "192.168.1.20", 52000);
    f.lower_map = tdFlow::LOWER_MAP_OTHER;
    f.origin = tdFlow::ORIGIN_UPPER;
    f.lower_mac = Addr("aa:bb:cc:dd:ee:ff");
    f.upper_mac = Addr("00:11:22:33:44:77");
    f.lower_addr = Addr("93.184.216.34", 80);
    f.digest = 0xdd;
    f.ts_first_seen = 1700000600000;
    f.ts_last_seen = 1700000600700;
    f.app_ip_override = true;
    f.master_protocol = f.detected_protocol = 7;
    f.detected_protocol_name = "HTTP";
    f.category.protocol = 5;
    f.category.upper_network = 12;
    f.category.lower_network = 11;
    f.host_server_name = "example.com";
    f.user_agent = "curl/8.5.0";
    f.http_url = "/index.html";
    f.stats = {9000, 800, 9800, 9500, 850, 9, 8, 17, 10, 9, 5, 3.25f, 0.5f, 0, 1, 0};
}

class FlowEncode : public ::testing::Test
{
protected:
    FlowEncode()
    {
        config.options =
            tdFlags<tdGlobalConfig::Options>(tdGlobalConfig::GO_DHC) | tdGlobalConfig::GO_FHC;
    }

    // tdFlow holds a mutex, so flows are built in place.
    static std::unique_ptr<tdFlow> Flow(const std::function<void(tdFlow &)> &build)
    {
        auto flow = std::make_unique<tdFlow>();
        build(*flow);
        return flow;
    }

    tdGlobalConfig config;
};

TEST_F(FlowEncode, GoldenFlows)
{
    struct Row {
        const char *golden;
        void (*build)(tdFlow &);
    };
    const Row rows[] = {
        {"tls.json", TlsFlow},
        {"quic.json", QuicFlow},
        {"dns.json", DnsFlow},
        {"stun.json", StunFlow},
        {"gtp.json", GtpFlow},
        {"privacy.json", PrivacyFlow},
        {"lower_map2.json", LowerMap2Flow},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.golden);
        const json expected = ReadGolden(row.golden);
        const json actual = Encode(*Flow(row.build));
        EXPECT_EQ(actual, expected) << json::diff(expected, actual).dump(1);
        // Equal JSON values may still differ in number type (1 and 1.0 compare equal); the
        // texts written for consumers must not.
        EXPECT_EQ(actual.dump(), expected.dump());
    }
}

TEST_F(FlowEncode, FlagsSelectGroups)
{
    auto flow = Flow(TlsFlow);
    const json always = {{"digest", "fedcba9876543210"},
                         {"digest_prev", {"0123456789abcdef", "fedcba9876543210"}},
                         {"last_seen_at", 1700000005000}};
    EXPECT_EQ(Encode(*flow, tdFlow::EncodeFlags::NONE), always);

    json stats = Encode(*flow, tdFlow::ENCODE_STATS);
    EXPECT_EQ(stats.size(), always.size() + 14) << stats.dump(1);
    EXPECT_EQ(stats["tcp"], json::parse(R"({"seq_errors": 1, "resets": 2, "retrans": 3})"));
    EXPECT_FALSE(stats.contains("local_ip"));

    // A flow without a tunnel writes nothing for ENCODE_TUNNELS.
    EXPECT_EQ(Encode(*flow, tdFlow::ENCODE_TUNNELS), always);
}

TEST_F(FlowEncode, DigestHistory)
{
    struct Row {
        const char *name;
        std::vector<uint64_t> history;
        const char *digest;
        std::vector<std::string> prev;
    };
    const Row rows[] = {
        {"empty history uses the digest", {}, "00000000000000ff", {"00000000000000ff"}},
        {"one entry", {0x10}, "0000000000000010", {"0000000000000010"}},
        {"three entries, oldest first",
         {0x1, 0xffffffffffffffffull, 0x3},
         "0000000000000003",
         {"0000000000000001", "ffffffffffffffff", "0000000000000003"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        tdFlow flow;
        flow.digest = 0xff;
        flow.digest_history = row.history;
        const json j = Encode(flow, tdFlow::EncodeFlags::NONE);
        EXPECT_EQ(j["digest"], row.digest);
        EXPECT_EQ(j["digest_prev"], json(row.prev));
    }
}

TEST_F(FlowEncode, LowerMapNamesEndpointKeys)
{
    struct Row {
        const char *name;
        uint8_t lower_map;
        const char *lower; // prefix of the keys the lower endpoint's values go under
        const char *upper;
    };
    const Row rows[] = {
        {"0 names as 1", 0, "local", "other"},
        {"1", 1, "local", "other"},
        {"2 swaps", 2, "other", "local"},
        {"unknown value names as 1", 9, "local", "other"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        auto flow = Flow(TlsFlow);
        flow->lower_map = row.lower_map;
        const json j = Encode(*flow);
        const std::string lower = row.lower, upper = row.upper;
        EXPECT_EQ(j[lower + "_mac"], "00:11:22:33:44:55");
        EXPECT_EQ(j[upper + "_mac"], "aa:bb:cc:dd:ee:ff");
        EXPECT_EQ(j[lower + "_ip"], "192.168.1.10");
        EXPECT_EQ(j[upper + "_ip"], "142.250.72.14");
        EXPECT_EQ(j[lower + "_port"], 51000);
        EXPECT_EQ(j[upper + "_port"], 443);
        EXPECT_EQ(j[lower + "_bytes"], 1200);
        EXPECT_EQ(j[upper + "_bytes"], 54000);
        EXPECT_EQ(j["total_" + lower + "_bytes"], 1500);
        EXPECT_EQ(j["total_" + upper + "_bytes"], 56000);
        EXPECT_EQ(j[lower + "_packets"], 10);
        EXPECT_EQ(j[upper + "_packets"], 40);
        EXPECT_EQ(j["total_" + lower + "_packets"], 12);
        EXPECT_EQ(j["total_" + upper + "_packets"], 44);
        EXPECT_EQ(j["category"][lower + "_network"], 1);
        EXPECT_EQ(j["category"][upper + "_network"], 2);
        EXPECT_EQ(j[lower + "_rate"], 1.5);
        EXPECT_EQ(j[upper + "_rate"], 250.25);
    }
}

TEST_F(FlowEncode, AddressTexts)
{
    struct Row {
        const char *name;
        uint8_t ip_version;
        uint8_t privacy;
        bool lower_mac_set;
        json expected; // the four address members
    };
    const Row rows[] = {
        {"plain IPv4",
         4,
         0,
         true,
         {{"local_mac", "00:11:22:33:44:55"},
          {"other_mac", "aa:bb:cc:dd:ee:ff"},
          {"local_ip", "192.168.1.10"},
          {"other_ip", "142.250.72.14"}}},
        {"unset lower MAC",
         4,
         0,
         false,
         {{"local_mac", "00:00:00:00:00:00"},
          {"other_mac", "aa:bb:cc:dd:ee:ff"},
          {"local_ip", "192.168.1.10"},
          {"other_ip", "142.250.72.14"}}},
        {"upper IP private, IPv4",
         4,
         0x04,
         true,
         {{"local_mac", "00:11:22:33:44:55"},
          {"other_mac", "aa:bb:cc:dd:ee:ff"},
          {"local_ip", "192.168.1.10"},
          {"other_ip", "127.255.0.254"}}},
        {"lower IP private, IPv6",
         6,
         0x08,
         true,
         {{"local_mac", "00:11:22:33:44:55"},
          {"other_mac", "aa:bb:cc:dd:ee:ff"},
          {"local_ip", "fe:80::ffff:7fff:fd"},
          {"other_ip", "142.250.72.14"}}},
        {"MACs private, the unset one too",
         4,
         0x03,
         false,
         {{"local_mac", "00:52:14:00:00:00"},
          {"other_mac", "00:52:ff:00:00:00"},
          {"local_ip", "192.168.1.10"},
          {"other_ip", "142.250.72.14"}}},
        {"all private, IPv4",
         4,
         0x0f,
         true,
         {{"local_mac", "00:52:14:00:00:00"},
          {"other_mac", "00:52:ff:00:00:00"},
          {"local_ip", "127.255.0.253"},
          {"other_ip", "127.255.0.254"}}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        auto flow = Flow(TlsFlow);
        flow->ip_version = row.ip_version;
        flow->privacy_mask = row.privacy;
        if (!row.lower_mac_set)
            flow->lower_mac = tdAddr();
        const json j = Encode(*flow);
        for (const auto &member : row.expected.items())
            EXPECT_EQ(j[member.key()], member.value()) << member.key();
        // Privacy hides addresses, not ports.
        EXPECT_EQ(j["local_port"], 51000);
    }
}

TEST_F(FlowEncode, LocalOrigin)
{
    struct Row {
        const char *name;
        uint8_t origin;
        uint8_t lower_map;
        bool expected;
    };
    const Row rows[] = {
        {"upper opened, upper local", 2, 2, true},      {"upper opened, lower local", 2, 1, false},
        {"lower opened, lower local", 1, 1, true},      {"lower opened, upper local", 1, 2, false},
        {"unknown origin counts as lower", 0, 0, true},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        tdFlow flow;
        flow.origin = row.origin;
        flow.lower_map = row.lower_map;
        EXPECT_EQ(Encode(flow)["local_origin"], row.expected);
    }
}

TEST_F(FlowEncode, OtherTypeTexts)
{
    // Flow-level codes and GTP codes name 3 and 4 differently.
    struct Row {
        uint8_t code;
        const char *flow;
        const char *gtp;
    };
    const Row rows[] = {
        {0, "unknown", "unsupported"},   {1, "unsupported", "unsupported"},
        {2, "local", "local"},           {3, "multicast", "unsupported"},
        {4, "broadcast", "unsupported"}, {5, "remote", "remote"},
        {6, "error", "error"},           {7, "unknown", "unsupported"},
        {255, "unknown", "unsupported"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(int(row.code));
        auto flow = Flow(GtpFlow);
        flow->other_type = row.code;
        flow->gtp.other_type = row.code;
        const json j = Encode(*flow);
        EXPECT_EQ(j["other_type"], row.flow);
        EXPECT_EQ(j["gtp"]["other_type"], row.gtp);
    }
}

TEST_F(FlowEncode, GtpLowerMapNamesTunnelKeys)
{
    struct Row {
        const char *name;
        uint8_t flow_lower_map;
        uint8_t gtp_lower_map;
        const char *lower_addr; // prefix for the lower tunnel endpoint's address and port
        const char *lower_teid;
    };
    const Row rows[] = {
        {"gtp 1", 2, 1, "local", "local"},
        {"gtp 2", 1, 2, "other", "other"},
        {"gtp 0 keeps the flow's naming (1)", 1, 0, "local", "local"},
        {"gtp 0 keeps the flow's naming (2)", 2, 0, "other", "local"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        auto flow = Flow(GtpFlow);
        flow->lower_map = row.flow_lower_map;
        flow->gtp.lower_map = row.gtp_lower_map;
        const json gtp = Encode(*flow)["gtp"];
        const std::string lower = row.lower_addr, upper = lower == "local" ? "other" : "local";
        const std::string teid = row.lower_teid, upper_teid = teid == "local" ? "other" : "local";
        EXPECT_EQ(gtp[lower + "_ip"], "10.0.0.1");
        EXPECT_EQ(gtp[upper + "_ip"], "10.0.0.2");
        EXPECT_EQ(gtp[lower + "_port"], 2152);
        EXPECT_EQ(gtp[upper + "_port"], 2153);
        EXPECT_EQ(gtp[teid + "_teid"], 0x11223344u);
        EXPECT_EQ(gtp[upper_teid + "_teid"], 0x55667788u);
        EXPECT_EQ(gtp.size(), 10u) << gtp.dump();
    }
}

TEST_F(FlowEncode, UnknownNames)
{
    tdFlow flow;
    flow.detected_protocol = 7;
    flow.detected_application_name = "tarvix.google";
    const json j = Encode(flow);
    EXPECT_EQ(j["detected_protocol_name"], "Unknown");
    EXPECT_EQ(j["detected_application_name"], "tarvix.google");
}

TEST_F(FlowEncode, SslGroupPresence)
{
    struct Row {
        const char *name;
        uint32_t master;
        uint32_t detected;
        uint16_t version;
        json expected; // null: no "ssl" member
    };
    const Row rows[] = {
        {"TLS master", 91, 7, 0x0303, {{"version", "0x0303"}, {"cipher_suite", "0xabcd"}}},
        {"QUIC detected", 0, 188, 0x0001, {{"version", "0x0001"}, {"cipher_suite", "0xabcd"}}},
        {"TLS only detected, not master", 0, 91, 0x0303, nullptr},
        {"QUIC as master only", 188, 7, 0x0303, nullptr},
        {"neither, with a server CN", 7, 7, 0x0303, nullptr},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        tdFlow flow;
        flow.master_protocol = row.master;
        flow.detected_protocol = row.detected;
        flow.tls_version = row.version;
        flow.tls_cipher_suite = 0xabcd;
        flow.tls_server_cn = row.expected.is_null() ? "cn.example" : "";
        const json j = Encode(flow);
        if (row.expected.is_null())
            EXPECT_FALSE(j.contains("ssl")) << j.dump();
        else
            EXPECT_EQ(j["ssl"], row.expected);
    }
}

TEST_F(FlowEncode, ProtocolDetails)
{
    struct Row {
        const char *name;
        std::function<void(tdFlow &)> build;
        json expected; // the members the build adds, besides the defaults
    };
    const Row rows[] = {
        {"HTTP user agent",
         [](tdFlow &f) { f.user_agent = "ua"; },
         {{"http", {{"user_agent", "ua"}}}}},
        {"SSDP user agent, by master protocol",
         [](tdFlow &f) {
             f.master_protocol = tdFlow::PROTO_SSDP;
             f.user_agent = "ua";
         },
         {{"ssdp", {{"user_agent", "ua"}}}}},
        {"DHCP",
         [](tdFlow &f) {
             f.dhcp_fingerprint = "1,3,6,15";
             f.dhcp_class_ident = "MSFT 5.0";
         },
         {{"dhcp", {{"fingerprint", "1,3,6,15"}, {"class_ident", "MSFT 5.0"}}}}},
        {"SSH client only",
         [](tdFlow &f) { f.ssh_client_agent = "c"; },
         {{"ssh", {{"client", "c"}}}}},
        {"BitTorrent info hash",
         [](tdFlow &f) {
             f.bt_info_hash = {0x01, 0xab, 0xff};
         },
         {{"bt", {{"info_hash", "01abff"}}}}},
        {"STUN with only a mapped address",
         [](tdFlow &f) { f.stun_mapped = Addr("192.0.2.1", 3478); },
         {{"stun", {{"mapped", "192.0.2.1:3478"}}}}},
        {"all five STUN addresses",
         [](tdFlow &f) {
             f.stun_mapped = Addr("192.0.2.1", 1);
             f.stun_peer = Addr("192.0.2.2", 2);
             f.stun_relayed = Addr("192.0.2.3", 3);
             f.stun_response = Addr("192.0.2.4", 4);
             f.stun_other = Addr("2001:db8::5", 5);
         },
         {{"stun",
           {{"mapped", "192.0.2.1:1"},
            {"peer", "192.0.2.2:2"},
            {"relayed", "192.0.2.3:3"},
            {"response", "192.0.2.4:4"},
            {"other", "[2001:db8::5]:5"}}}}},
        {"tags, in set order",
         [](tdFlow &f) {
             f.tags = {"b", "a"};
         },
         {{"tags", {"a", "b"}}}},
    };
    tdFlow plain;
    const json defaults = Encode(plain, tdFlow::ENCODE_METADATA);
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        tdFlow flow;
        row.build(flow);
        json expected = defaults;
        expected.update(row.expected);
        const json actual = Encode(flow, tdFlow::ENCODE_METADATA);
        EXPECT_EQ(actual, expected) << json::diff(expected, actual).dump();
    }
}

TEST_F(FlowEncode, RisksAlwaysCarryTheScores)
{
    tdFlow flow;
    EXPECT_EQ(Encode(flow)["risks"], json::parse(R"({"ndpi_risk_score": 0,
        "ndpi_risk_score_client": 0, "ndpi_risk_score_server": 0})"));
    flow.risks = {3, 1, 2};
    EXPECT_EQ(Encode(flow)["risks"]["risks"], json::parse("[1, 2, 3]"));
}

TEST_F(FlowEncode, TcpCountersOnlyForTcp)
{
    tdFlow flow;
    flow.ip_protocol = IPPROTO_UDP;
    flow.stats.tcp_resets = 5;
    EXPECT_FALSE(Encode(flow).contains("tcp"));
    flow.ip_protocol = IPPROTO_TCP;
    flow.stats = tdFlowStats();
    EXPECT_EQ(Encode(flow)["tcp"], json::parse(R"({"seq_errors": 0, "resets": 0, "retrans": 0})"));
}

TEST_F(FlowEncode, StatsComeFromTheArgument)
{
    auto flow = Flow(TlsFlow);
    tdFlowStats other;
    other.total_packets = 99;
    json j;
    flow->Encode(j, other, tdFlow::ENCODE_STATS);
    EXPECT_EQ(j["total_packets"], 99);
    EXPECT_EQ(j["local_bytes"], 0);
}

TEST_F(FlowEncode, GlobalOptionsGateCacheHits)
{
    struct Row {
        const char *name;
        uint32_t options;
        bool dhc;
        bool fhc;
    };
    const Row rows[] = {
        {"none", 0x00, false, false},
        {"DHC", 0x01, true, false},
        {"FHC", 0x02, false, true},
        {"both", 0x03, true, true},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        config.options = tdFlags<tdGlobalConfig::Options>::FromBits(row.options);
        tdFlow flow;
        flow.dhc_hit = flow.fhc_hit = true;
        const json j = Encode(flow);
        EXPECT_EQ(j.contains("dhc_hit"), row.dhc);
        EXPECT_EQ(j.contains("fhc_hit"), row.fhc);
    }
}

TEST(FlowEncodeWithoutConfig, MissingGlobalConfigThrowsAndReleasesTheLock)
{
    tdFlow flow;
    flow.digest = 1;
    json j = json::object();
    try {
        flow.Encode(j, flow.stats, ENCODE_ALL);
        FAIL() << "no exception";
    } catch (const tdException &e) {
        EXPECT_STREQ(e.what(), "tdGlobalConfig: instance not found");
    }
    EXPECT_EQ(j, json::object());
    // Another thread must be able to take the record's lock.
    auto locked = std::async(std::launch::async, [&flow] {
        bool ok = flow.lock.try_lock();
        if (ok)
            flow.lock.unlock();
        return ok;
    });
    EXPECT_TRUE(locked.get());

    // Groups that do not read the configuration still work without it.
    json stats;
    flow.Encode(stats, flow.stats, tdFlow::ENCODE_STATS);
    EXPECT_EQ(stats["digest"], "0000000000000001");
}
} // namespace
