#include "host/flow.hpp"
#include "agent/expression/flow_expression_cache.hpp"
#include "host/flow_parser.hpp"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

// Every allocation of this test program is counted, so a test can show that a stretch of code
// allocates nothing.
namespace
{
std::atomic<size_t> allocations{0};
}

// GCC sees malloc/free behind these replacements once the standard allocator is inlined and
// warns about a mismatch that is not one: every pairing below is new/delete as the language
// defines them.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void *operator new(size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void *memory = malloc(size ? size : 1))
        return memory;
    throw std::bad_alloc();
}

void *operator new[](size_t size)
{
    return operator new(size);
}

void operator delete(void *memory) noexcept
{
    free(memory);
}

void operator delete[](void *memory) noexcept
{
    free(memory);
}

void operator delete(void *memory, size_t) noexcept
{
    free(memory);
}

void operator delete[](void *memory, size_t) noexcept
{
    free(memory);
}

namespace
{
std::shared_ptr<tdFlow> MakeFlow()
{
    auto flow = std::make_shared<tdFlow>();
    tdAddr::Create(flow->lower_addr, "192.168.1.10");
    flow->lower_addr.SetPort(51000);
    tdAddr::Create(flow->upper_addr, "93.184.216.34");
    flow->upper_addr.SetPort(443);
    tdAddr::Create(flow->lower_mac, "00:11:22:33:44:55");
    tdAddr::Create(flow->upper_mac, "66:77:88:99:aa:bb");
    flow->digest = 0x1122334455667788;
    flow->ts_first_seen = 1700000000000;
    flow->ts_last_seen = 1700000005000;
    flow->lower_map = tdFlow::LOWER_MAP_LOCAL;
    flow->origin = tdFlow::ORIGIN_LOWER;
    flow->other_type = tdFlow::OTHER_REMOTE;
    flow->ip_version = 4;
    flow->ip_dscp = 46;
    flow->ip_protocol = IPPROTO_TCP;
    flow->vlan_id = 100;
    flow->ip_nat = true;
    flow->iface_name = "eth0";
    flow->iface_role = tdFlow::ROLE_LAN;
    flow->master_protocol = 91;
    flow->detected_protocol = 91;
    flow->detected_protocol_name = "TLS";
    flow->detected_application = 119;
    flow->detected_application_name = "tarvix.facebook";
    flow->category = {5, 6, 7, 8, 9, 10};
    flow->host_server_name = "www.example.com";
    flow->user_agent = "curl/8.0";
    flow->tls_version = 0x0303;
    flow->tls_cipher_suite = 0x1301;
    flow->tls_server_cn = "example.com";
    flow->tls_client_ja4 = "t13d1516h2_8daaf6152771_02713d6af862";
    flow->tls_alpn = {"h2", "http/1.1"};
    flow->tls_cert_fingerprint = {0xde, 0xad, 0xbe, 0xef};
    flow->risks = {15, 37};
    flow->risk_score = 110;
    flow->tags = {"blocked", "vip"};
    flow->stats.lower_bytes = 1000;
    flow->stats.upper_bytes = 5000;
    flow->stats.total_bytes = 6000;
    flow->stats.lower_packets = 10;
    flow->stats.upper_packets = 20;
    flow->stats.lower_rate = 1.5;
    flow->stats.upper_rate = 2.5;
    flow->stats.tcp_resets = 1;
    return flow;
}

tdFlowParams Intel(const char *document)
{
    return {{"intel", json::parse(document)}};
}

struct Row {
    const char *expression;
    bool expected;
};

void ExpectRows(tdFlowParser &parser, const std::shared_ptr<tdFlow> &flow,
                const tdFlowParams &params, std::initializer_list<Row> rows)
{
    for (const Row &row : rows) {
        SCOPED_TRACE(row.expression);
        try {
            EXPECT_EQ(parser.Parse(flow, params, row.expression), row.expected);
        } catch (const std::string &fault) {
            ADD_FAILURE() << "rejected: " << fault;
        }
    }
}

TEST(FlowParser, FieldsReadTheFlowRecord)
{
    tdFlowParser parser;
    ExpectRows(parser, MakeFlow(), {},
               {
                   {"digest == '1122334455667788'", true},
                   {"digest_prev == '1122334455667788'", true},
                   {"first_seen_at == 1700000000000 && last_seen_at > 1700000000000", true},
                   {"interface == 'eth0' && internal", true},
                   {"ip_nat && !detection_guessed && !app_ip_override", true},
                   {"ip_version == 4 && ip_dscp == 46 && ip_protocol == 6 && vlan_id == 100", true},
                   {"other_type == 'remote'", true},
                   {"local_origin", true},
                   {"local_mac == 00:11:22:33:44:55", true},
                   {"other_mac == 66-77-88-99-AA-BB", true},
                   {"local_ip == 192.168.1.10 && other_ip == 93.184.216.34", true},
                   {"local_port == 51000 && other_port == 443", true},
                   {"detected_protocol == 91 && detected_protocol_name == 'TLS'", true},
                   {"detected_application == 119", true},
                   {"detected_application_name == 'tarvix.facebook'", true},
                   {"category.application == 5 && category.protocol == 6", true},
                   {"category.domain == 7 && category.overlay == 10", true},
                   {"category.local_network == 9 && category.other_network == 8", true},
                   {"host_server_name == 'www.example.com'", true},
                   {"http.user_agent == 'curl/8.0'", true},
                   {"ssdp.user_agent", false},
                   {"ssl.version == 0x0303 && ssl.cipher_suite == 0x1301", true},
                   {"ssl.client_sni == 'www.example.com'", true},
                   {"ssl.server_cn == 'example.com'", true},
                   {"ssl.client_ja4 =~ '^t13d'", true},
                   {"ssl.fingerprint == 'deadbeef'", true},
                   {"ssl.alpn has 'h2' && 'http/1.1' in ssl.alpn", true},
                   {"ssl.alpn_server", false},
                   {"ssl.encrypted_ch_version", false},
                   {"risks.ndpi_risk_score == 110 && risks.ndpi_risk_score_client == 0", true},
                   {"local_bytes == 1000 && other_bytes == 5000 && total_bytes == 6000", true},
                   {"local_packets == 10 && other_packets == 20", true},
                   {"local_rate == 1.5 && other_rate == 2.5", true},
                   {"tcp.resets == 1 && tcp.retrans == 0", true},
                   {"gtp.version", false},
                   {"stun.mapped", false},
               });
}

TEST(FlowParser, DigestsUseTheHistory)
{
    tdFlowParser parser;
    auto flow = MakeFlow();
    flow->digest_history = {0x1, 0xabcdef};
    ExpectRows(parser, flow, {},
               {
                   {"digest == '0000000000abcdef'", true},
                   {"digest_prev has '0000000000000001'", true},
                   {"'0000000000abcdef' in digest_prev", true},
                   {"digest_prev has '1122334455667788'", false},
               });
}

TEST(FlowParser, ProtocolGroupsFollowTheDetectedProtocol)
{
    struct Case {
        const char *name;
        uint32_t master, detected;
        bool ssl;
    };
    const Case cases[] = {
        {"TLS by master protocol", 91, 7, true},
        {"QUIC", 0, 188, true},
        {"plain HTTP", 7, 7, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        tdFlowParser parser;
        auto flow = MakeFlow();
        flow->master_protocol = c.master;
        flow->detected_protocol = c.detected;
        ExpectRows(parser, flow, {},
                   {
                       {"ssl.server_cn == 'example.com'", c.ssl},
                       {"ssl.version == 0x0303", c.ssl},
                       {"ssl.server_cn != 'example.com'", !c.ssl},
                   });
    }

    tdFlowParser parser;
    auto ssdp = MakeFlow();
    ssdp->detected_protocol = tdFlow::PROTO_SSDP;
    ExpectRows(parser, ssdp, {},
               {
                   {"ssdp.user_agent == 'curl/8.0'", true},
                   {"http.user_agent", false},
               });
}

TEST(FlowParser, LowerMapTwoSwapsLocalAndOther)
{
    struct Case {
        uint8_t lower_map;
        uint8_t origin;
        bool swapped;
        bool local_origin;
    };
    const Case cases[] = {
        {tdFlow::LOWER_MAP_UNKNOWN, tdFlow::ORIGIN_LOWER, false, true},
        {tdFlow::LOWER_MAP_LOCAL, tdFlow::ORIGIN_LOWER, false, true},
        {tdFlow::LOWER_MAP_LOCAL, tdFlow::ORIGIN_UPPER, false, false},
        {tdFlow::LOWER_MAP_OTHER, tdFlow::ORIGIN_LOWER, true, false},
        {tdFlow::LOWER_MAP_OTHER, tdFlow::ORIGIN_UPPER, true, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("lower map " + std::to_string(c.lower_map) + ", origin " +
                     std::to_string(c.origin));
        tdFlowParser parser;
        auto flow = MakeFlow();
        flow->lower_map = c.lower_map;
        flow->origin = c.origin;
        ExpectRows(
            parser, flow, {},
            {
                {"local_ip == 192.168.1.10 && other_ip == 93.184.216.34", !c.swapped},
                {"local_ip == 93.184.216.34 && other_ip == 192.168.1.10", c.swapped},
                {"local_port == 443 && other_port == 51000", c.swapped},
                {"local_mac == 66:77:88:99:aa:bb && other_mac == 00:11:22:33:44:55", c.swapped},
                {"local_bytes == 5000 && other_bytes == 1000", c.swapped},
                {"local_packets == 20 && other_packets == 10", c.swapped},
                {"local_rate == 2.5 && other_rate == 1.5", c.swapped},
                {"category.local_network == 8 && category.other_network == 9", c.swapped},
                {"local_origin", c.local_origin},
            });
    }
}

TEST(FlowParser, GtpKeysFollowTheTunnelLowerMap)
{
    struct Case {
        uint8_t gtp_lower_map;
        uint8_t lower_map;
        const char *local_ip;
        uint32_t local_teid;
    };
    const Case cases[] = {
        {tdFlow::LOWER_MAP_LOCAL, tdFlow::LOWER_MAP_OTHER, "10.0.0.1", 100},
        {tdFlow::LOWER_MAP_OTHER, tdFlow::LOWER_MAP_LOCAL, "10.0.0.2", 200},
        // Neither: addresses follow the flow, TEIDs stay lower = local.
        {tdFlow::LOWER_MAP_UNKNOWN, tdFlow::LOWER_MAP_OTHER, "10.0.0.2", 100},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("gtp lower map " + std::to_string(c.gtp_lower_map));
        tdFlowParser parser;
        auto flow = MakeFlow();
        flow->lower_map = c.lower_map;
        flow->tunnel_type = tdFlow::TUNNEL_GTP;
        flow->gtp.version = 1;
        flow->gtp.lower_map = c.gtp_lower_map;
        flow->gtp.other_type = tdFlow::OTHER_MULTICAST;
        tdAddr::Create(flow->gtp.lower_addr, "10.0.0.1");
        flow->gtp.lower_addr.SetPort(2152);
        tdAddr::Create(flow->gtp.upper_addr, "10.0.0.2");
        flow->gtp.upper_addr.SetPort(2153);
        flow->gtp.lower_teid = htonl(100);
        flow->gtp.upper_teid = htonl(200);
        std::string local_ip = std::string("gtp.local_ip == ") + c.local_ip;
        std::string local_teid = "gtp.local_teid == " + std::to_string(c.local_teid);
        std::string ports = std::string("gtp.local_port == ") +
                            (std::string(c.local_ip) == "10.0.0.1" ? "2152" : "2153");
        ExpectRows(parser, flow, {},
                   {
                       {local_ip.c_str(), true},
                       {local_teid.c_str(), true},
                       {ports.c_str(), true},
                       {"gtp.version == 1 && gtp.other_type == 'unsupported'", true},
                       {"other_type == 'remote'", true},
                   });
    }
}

TEST(FlowParser, Operators)
{
    tdFlowParser parser;
    ExpectRows(
        parser, MakeFlow(), {},
        {
            // Numbers, in decimal, hexadecimal, negative, fractions and quoted.
            {"ip_dscp < 47 && ip_dscp <= 46 && ip_dscp >= 46", true},
            {"ip_dscp > 46", false},
            {"vlan_id == 0x64 && vlan_id == '100' && vlan_id > -1", true},
            {"vlan_id != 100", false},
            {"local_rate < 1.6 && local_rate > 1.4", true},
            {"vlan_id in [1, 100]", true},
            {"vlan_id not in [1, 100]", false},
            // Strings: exact, case-sensitive; regular expressions search anywhere.
            {"other_type != 'local'", true},
            {"host_server_name == 'WWW.EXAMPLE.COM'", false},
            {"host_server_name =~ '(?i)^WWW\\.'", true},
            {"host_server_name =~ 'example'", true},
            {"host_server_name !~ 'example'", false},
            {"host_server_name =~ '\\.example\\.com$'", true},
            {"host_server_name =~ '\\\\.example'", true},
            {"http.user_agent =~ \"^curl/\\d+\"", true},
            {"host_server_name == \"www.\\x65xample.com\"", true},
            {"host_server_name in ['a', 'www.example.com']", true},
            {"host_server_name not in ['a', 'b']", true},
            {"host_server_name == 'it\\'s'", false},
            // Addresses and networks.
            {"other_ip == 93.184.216.0/24 && other_ip != 10.0.0.0/8", true},
            {"other_ip == 0.0.0.0/0", true},
            {"other_ip == ::/0", false},
            {"local_ip == 192.168.1.99/24", true},
            {"local_ip == '192.168.0.0/16'", true},
            {"local_ip in [10.0.0.0/8, 172.16.0.0/12, 192.168.0.0/16]", true},
            {"other_ip not in [10.0.0.0/8, 172.16.0.0/12, 192.168.0.0/16]", true},
            {"other_ip == 93.184.216.35", false},
            {"other_mac == 66:77:88:00:00:00/24", true},
            {"local_mac in [00:00:00:00:00:01, '00-11-22-33-44-55']", true},
            // Sets: any element.
            {"risks has 15 && 37 in risks", true},
            {"16 in risks", false},
            {"16 not in risks", true},
            {"risks in [1, 2, 37]", true},
            {"risks not in [1, 2]", true},
            {"risks > 36", true},
            {"risks.risks has 15", true},
            {"tags has 'vip' && 'blocked' in tags && tags == 'vip'", true},
            {"tags =~ '^bl'", true},
            {"tags !~ '^x'", true},
            {"tags != 'vip'", false},
            // Logic: not binds tightest, then and, then or; negations cancel.
            {"ip_nat || vlan_id == 1 && ip_dscp == 0", true},
            {"(ip_nat || vlan_id == 1) && ip_dscp == 0", false},
            {"not ip_nat or internal", true},
            {"not (ip_nat or internal)", false},
            {"NOT ip_nat AND internal", false},
            {"ip_nat and internal == TRUE", true},
            {"!!ip_nat", true},
            {"!!!ip_nat", false},
            {"!(other_port == 443)", false},
            {"  ip_nat\t&&\ninternal  ", true},
            {"vlan_id", true},
            {"ip_dscp == 46 && (vlan_id == 1 || (vlan_id == 100 && !(ip_version == 6)))", true},
        });
}

TEST(FlowParser, DocumentedExamples)
{
    tdFlowParser parser;
    ExpectRows(parser, MakeFlow(),
               Intel(R"({"score": 90, "source": "feed-a", "categories": ["malware"]})"),
               {
                   {"other_ip == 10.0.0.0/8 || other_ip == fd00::/8", false},
                   {"local_ip in [10.0.0.0/8, 172.16.0.0/12, 192.168.0.0/16]", true},
                   {"other_port in [80, 443] && ip_protocol == 6", true},
                   {"ssl.client_sni =~ '(^|\\.)example\\.com$'", true},
                   {"host_server_name =~ '(?i)^cdn[0-9]+\\.'", false},
                   {"detected_protocol_name == 'DNS' && !internal", false},
                   {"15 in risks || risks has 37", true},
                   {"tags has 'blocked' && 'vip' not in tags", false},
                   {"intel.score >= 80 && intel.source == 'feed-a'", true},
                   {"intel.categories has 'malware'", true},
                   {"local_mac == 00:11:22:00:00:00/24", true},
                   {"not (other_type in ['local', 'multicast', 'broadcast'])", true},
               });
}

TEST(FlowParser, AddressOnItsOwnMatchesEitherEndpoint)
{
    tdFlowParser parser;
    ExpectRows(parser, MakeFlow(), {},
               {
                   {"192.168.1.10", true},
                   {"93.184.0.0/16", true},
                   {"10.0.0.0/8", false},
                   {"fe80::/10", false},
                   {"!93.184.0.0/16", false},
                   {"66:77:88:99:aa:bb", true},
                   {"00:11:22:00:00:00/24 && other_port == 443", true},
                   {"'66:77:88:99:aa:bb' in tags", false},
               });
}

TEST(FlowParser, IPv6Networks)
{
    tdFlowParser parser;
    auto flow = MakeFlow();
    tdAddr::Create(flow->lower_addr, "2001:db8::10");
    tdAddr::Create(flow->upper_addr, "fe80::1");
    ExpectRows(parser, flow, {},
               {
                   {"local_ip == 2001:db8::/32", true},
                   {"local_ip == 2001:db9::/32", false},
                   {"local_ip == 2001:db8::10/128", true},
                   {"local_ip == '2001:db8::10'", true},
                   {"other_ip == fe80::/10", true},
                   {"other_ip == 10.0.0.0/8", false},
                   {"other_ip in [::1, fe80::1]", true},
                   {"local_ip == ::ffff:192.168.1.10", false},
               });
}

TEST(FlowParser, AbsentValues)
{
    tdFlowParser parser;
    auto flow = std::make_shared<tdFlow>(); // nothing set
    flow->ip_protocol = IPPROTO_UDP;
    ExpectRows(parser, flow, {},
               {
                   {"dns_host_name == 'x'", false},
                   {"dns_host_name != 'x'", true},
                   {"dns_host_name == ''", false},
                   {"dns_host_name =~ ''", false},
                   {"dns_host_name !~ 'x'", true},
                   {"dns_host_name in ['x']", false},
                   {"dns_host_name not in ['x']", true},
                   {"dns_host_name", false},
                   {"!dns_host_name", true},
                   {"!(dns_host_name == 'x')", true},
                   {"local_ip == 0.0.0.0/0 || local_ip == ::/0", false},
                   {"local_ip != 10.0.0.1", true},
                   {"local_mac == 00:00:00:00:00:00", false},
                   {"stun.mapped == 0.0.0.0/0", false},
                   {"ssl.version == 0", false},
                   {"ssl.version < 1 || ssl.version >= 0", false},
                   {"ssl.version != 0x0303", true},
                   {"tags has 'a' || tags =~ ''", false},
                   {"'a' not in tags", true},
                   {"tags || risks", false},
                   {"tcp.resets == 0", false},
                   {"gtp.other_type != 'local'", true},
                   {"detected_protocol_name == 'Unknown'", true},
                   {"intel.score > 1", false},
                   {"intel.score != 1", true},
                   {"intel", false},
               });
}

TEST(FlowParser, IntelPaths)
{
    tdFlowParser parser;
    auto flow = MakeFlow();
    tdFlowParams params = Intel(R"({
        "score": 70, "big": 18446744073709551615, "ratio": 0.25, "name": "botnet", "empty": "",
        "flag": true, "nothing": null, "ip": "10.1.2.3", "mac": "00:11:22:33:44:55",
        "list": ["a", "b", 3], "nested": {"deep": {"level": 2}},
        "hosts": [{"name": "x"}, {"name": "y"}], "obj": {}, "threat-level": 4})");
    ExpectRows(parser, flow, params,
               {
                   {"intel.score == 70 && intel.score > 50", true},
                   {"intel.score <= 69", false},
                   {"intel.score == '70'", false},
                   {"intel.score in [1, 70]", true},
                   {"intel.big > 1", true},
                   {"intel.ratio < 0.5 && intel.ratio == 0.25", true},
                   {"intel.name == 'botnet' && intel.name =~ '^bot'", true},
                   {"intel.name > 5", false},
                   {"intel.name != 5", true},
                   {"intel.empty", false},
                   {"intel.empty == ''", false},
                   {"intel.flag && intel.flag == true", true},
                   {"intel.nothing", false},
                   {"intel.nothing != 1", true},
                   {"intel.ip == 10.0.0.0/8 && intel.ip == '10.1.2.3'", true},
                   {"intel.name == 10.0.0.0/8", false},
                   {"intel.mac == 00:11:22:00:00:00/24", true},
                   {"intel.list has 'a' && 3 in intel.list", true},
                   {"'c' in intel.list", false},
                   {"'c' not in intel.list", true},
                   {"intel.list =~ '^b$' && intel.list > 2", true},
                   {"intel.list.1 == 'b'", true},
                   {"intel.list.9 == 'b'", false},
                   {"intel.nested.deep.level == 2", true},
                   {"intel.hosts.1.name == 'y'", true},
                   {"intel.hosts.name == 'y'", false},
                   {"intel.obj", false},
                   {"intel.nested", true},
                   {"intel.nested == 1", false},
                   {"intel.threat-level == 4", true},
                   {"intel.missing.path == 1", false},
                   {"intel.score.deeper == 1", false},
                   {"intel", true},
                   {"intel.score > 50 && other_port == 443", true},
               });

    // Without the parameter, or with a document that is no object, paths are absent.
    ExpectRows(parser, flow, {{"other", json::parse(R"({"score": 70})")}},
               {{"intel.score == 70", false}, {"intel.score != 70", true}});
    ExpectRows(parser, flow, Intel("5"), {{"intel == 5", true}, {"intel.score == 5", false}});
}

TEST(FlowParser, HostileRegexesFinish)
{
    tdFlowParser parser;
    auto flow = MakeFlow();
    flow->host_server_name = std::string(100000, 'a');
    ExpectRows(parser, flow, {},
               {
                   {"host_server_name =~ '(a*)*b'", false},
                   {"host_server_name =~ '(a|a)*c'", false},
                   {"host_server_name =~ '(a|aa)+$'", true},
                   {"host_server_name =~ '^(a+)+$'", true},
                   {"host_server_name =~ '(x+x+)+y'", false},
                   {"host_server_name =~ '(.*a){20}'", true},
               });
}

TEST(FlowParser, BadExpressions)
{
    struct Fault {
        std::string expression;
        std::string fault;
    };
    const Fault faults[] = {
        {"", "column 1: empty expression"},
        {"  ", "column 3: empty expression"},
        {"other_ipp == 1", "column 1: unknown field: other_ipp"},
        {"local_ip == 10.0.0.1 && other_ipp == 1", "column 25: unknown field: other_ipp"},
        {"ai:facebook", "column 1: unknown field: ai"},
        {"intel..x == 1", "column 1: unknown field: intel..x"},
        {"intel. == 1", "column 1: unknown field: intel."},
        {"local_port ==", "column 14: expected a value: end of expression"},
        {"local_port == other_port",
         "column 15: expected a value (strings are quoted): other_port"},
        {"local_port == 'abc'",
         "column 15: type mismatch: local_port is a number, not a string: 'abc'"},
        {"ip_nat == 1", "column 11: type mismatch: ip_nat is a boolean, not a number: 1"},
        {"local_ip == 00:11:22:33:44:55",
         "column 13: type mismatch: local_ip is an address, not a MAC address: "
         "00:11:22:33:44:55"},
        {"local_mac == '10.0.0.1'",
         "column 14: type mismatch: local_mac is a MAC address, not a string: '10.0.0.1'"},
        {"tags has 5", "column 10: type mismatch: tags is a set of strings, not a number: 5"},
        {"host_server_name < 5",
         "column 18: operator < does not apply to host_server_name (a string)"},
        {"risks =~ 'a'", "column 7: operator =~ does not apply to risks (a set of numbers)"},
        {"local_port has 5", "column 12: operator has does not apply to local_port (a number)"},
        {"5 in local_port", "column 6: not a set field: local_port"},
        {"'x' == tags", "column 5: expected 'in' or 'not in' after a value: =="},
        {"5", "column 2: expected 'in' or 'not in' after a value: end of expression"},
        {"10.0.0.1 == other_ip", "column 10: unexpected token: =="},
        {"tags not has 'x'", "column 10: expected 'in' after 'not': has"},
        {"intel.score > 'high'",
         "column 15: type mismatch: operator > needs a number, not a string: 'high'"},
        {"(local_port == 1", "column 17: expected ')': end of expression"},
        {"ip_nat == true)", "column 15: unexpected token: )"},
        {"local_port == 1 2", "column 17: unexpected token: 2"},
        {"!", "column 2: expected a field or '(': end of expression"},
        {"ip_nat &&", "column 10: expected a field or '(': end of expression"},
        {"in == 1", "column 1: expected a field or '(': in"},
        {"local_ip in 1.1.1.1", "column 13: expected '[': 1.1.1.1"},
        {"local_ip in [1.1.1.1,]", "column 22: expected a value: ]"},
        {"local_ip in [1.1.1.1 2.2.2.2]", "column 22: expected ',' or ']': 2.2.2.2"},
        {"host_server_name =~ 5", "column 21: expected a regular expression in quotes: 5"},
        {"host_server_name =~ '('", "column 21: invalid regular expression: missing ): ("},
        {"host_server_name =~ 'a{1001}'",
         "column 21: invalid regular expression: invalid repetition size: {1001}"},
        {"host_server_name =~ '\\xff'", "column 21: invalid regular expression: invalid UTF-8"},
        {"host_server_name == 'abc", "column 21: unterminated string"},
        {"host_server_name == 'abc\\", "column 21: unterminated string"},
        {"host_server_name == 'a\\x4g'", "column 23: invalid escape: \\x4g"},
        {"local_ip == 10.0.0.0/33", "column 13: invalid prefix length: 10.0.0.0/33"},
        {"local_ip == fe80::/129", "column 13: invalid prefix length: fe80::/129"},
        {"local_ip == 10.0.0.0/", "column 13: invalid prefix length: 10.0.0.0/"},
        {"local_ip == 1.2.3", "column 13: invalid address: 1.2.3"},
        {"local_ip == 1::2::3", "column 13: invalid address: 1::2::3"},
        {"local_port == 99999999999999999999",
         "column 15: number out of range: 99999999999999999999"},
        {"local_port == 12ab", "column 15: invalid number: 12ab"},
        {"local_rate > " + std::string(400, '9') + ".5",
         "column 14: number out of range: " + std::string(400, '9') + ".5"},
        {"local_mac == 00:11:22:33:44:55/49",
         "column 14: invalid prefix length: 00:11:22:33:44:55/49"},
        {"local_ip == 10.0.0.0/8x", "column 13: invalid prefix length: 10.0.0.0/8x"},
        {"local_port == -", "column 15: unexpected character: '-'"},
        {"local_port = 1", "column 12: unexpected character: '='"},
        {"local_port == 1 & ip_nat", "column 17: unexpected character: '&'"},
        {"é == 1", "column 1: unexpected character: 'é'"},
        {"host_server_name == 'é' && x", "column 28: unknown field: x"},
        {"\x01", "column 1: unexpected character: '\\x01'"},
        {"ip_nat == true 'a\nb\xff'", "column 16: unexpected token: 'a\\x0ab\\xff'"},
        {std::string(65, '(') + "ip_nat" + std::string(65, ')'),
         "column 65: expression nested too deeply"},
    };
    tdFlowParser parser;
    auto flow = MakeFlow();
    for (const Fault &f : faults) {
        SCOPED_TRACE(f.expression);
        // Faults are cached with the expression and thrown on every evaluation.
        for (int round = 0; round < 2; round++) {
            try {
                parser.Parse(flow, {}, f.expression);
                ADD_FAILURE() << "accepted";
            } catch (const std::string &fault) {
                EXPECT_EQ(fault, f.fault);
            }
        }
    }
}

TEST(FlowParser, DeepButAllowedNestingAndLongChains)
{
    tdFlowParser parser;
    auto flow = MakeFlow();
    std::string nested = std::string(64, '(') + "ip_nat" + std::string(64, ')');
    std::string negations = std::string(10001, '!') + "ip_nat";
    std::string chain = "vlan_id == 0";
    for (int i = 1; i <= 5000; i++)
        chain += (i % 2 ? " && vlan_id != " : " || vlan_id == ") + std::to_string(i);
    EXPECT_TRUE(parser.Parse(flow, {}, nested));
    EXPECT_FALSE(parser.Parse(flow, {}, negations));
    EXPECT_TRUE(parser.Parse(flow, {}, chain));
}

TEST(FlowParser, NullFlowIsRefused)
{
    tdFlowParser parser;
    EXPECT_THROW(parser.Parse(nullptr, {}, "ip_nat"), std::invalid_argument);
}

TEST(FlowParser, EvaluatesUnderTheFlowLock)
{
    tdFlowParser parser;
    auto flow = MakeFlow();
    std::promise<void> locked, release;
    std::thread holder([&] {
        std::lock_guard<std::recursive_mutex> guard(flow->lock);
        locked.set_value();
        release.get_future().wait();
    });
    locked.get_future().wait();
    auto result = std::async(std::launch::async, [&] { return parser.Parse(flow, {}, "ip_nat"); });
    EXPECT_EQ(result.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    release.set_value();
    EXPECT_TRUE(result.get());
    holder.join();
}

TEST(FlowParser, CachesExpressionsAndRegexes)
{
    tdFlowParser parser;
    auto flow = MakeFlow();
    parser.Parse(flow, {}, "host_server_name =~ 'example'");
    parser.Parse(flow, {}, "host_server_name =~ 'example'");
    parser.Parse(flow, {}, "dns_host_name =~ 'example' || ssl.client_sni =~ 'example'");
    EXPECT_THROW(parser.Parse(flow, {}, "bad =="), std::string);
    EXPECT_EQ(parser.CachedExpressions(), 3u);
    EXPECT_EQ(parser.CachedRegexes(), 1u);

    parser.ClearCache();
    EXPECT_EQ(parser.CachedExpressions(), 0u);
    EXPECT_EQ(parser.CachedRegexes(), 0u);
    EXPECT_TRUE(parser.Parse(flow, {}, "host_server_name =~ 'example'"));
    EXPECT_EQ(parser.CachedRegexes(), 1u);
}

TEST(FlowParser, CacheStaysBounded)
{
    tdFlowParser parser(4);
    auto flow = MakeFlow();
    for (int i = 0; i < 10; i++) {
        std::string expression = "host_server_name =~ 'x" + std::to_string(i) + "'";
        EXPECT_FALSE(parser.Parse(flow, {}, expression));
    }
    EXPECT_EQ(parser.CachedExpressions(), 4u);
    EXPECT_EQ(parser.CachedRegexes(), 4u);
    // A regex forgotten by its cache lives on in the expressions that use it.
    EXPECT_FALSE(parser.Parse(flow, {}, "host_server_name =~ 'x9'"));
}

TEST(FlowParserCache, ForgetsTheLeastRecentlyUsed)
{
    tdFlowExpressionCache<int> cache(2);
    cache.Insert("a", 1);
    cache.Insert("b", 2);
    ASSERT_NE(cache.Find("a"), nullptr);
    cache.Insert("c", 3);
    EXPECT_EQ(cache.Find("b"), nullptr);
    ASSERT_NE(cache.Find("a"), nullptr);
    EXPECT_EQ(*cache.Find("a"), 1);
    EXPECT_EQ(*cache.Find("c"), 3);
    cache.Insert("c", 4);
    EXPECT_EQ(*cache.Find("c"), 4);
    EXPECT_EQ(cache.Size(), 2u);
}

TEST(FlowParser, WarmEvaluationDoesNotAllocate)
{
    const char *expressions[] = {
        "other_port == 443 && ip_dscp < 50 && local_rate > 1",
        "other_ip == 93.184.0.0/16 && local_ip in [10.0.0.0/8, 192.168.0.0/16]",
        "local_mac == 00:11:22:33:44:55",
        "host_server_name == 'www.example.com' && other_type == 'remote'",
        "host_server_name =~ '\\.example\\.com$' && http.user_agent !~ '(?i)wget'",
        "tags has 'vip' && 15 in risks",
        "digest == '1122334455667788' && ssl.fingerprint == 'deadbeef'",
        "ssl.alpn has 'h2'",
        "intel.score > 50 && intel.list has 'b' && intel.name =~ '^bot'",
        "intel.ip == 10.0.0.0/8",
    };
    tdFlowParser parser;
    auto flow = MakeFlow();
    tdFlowParams params = Intel(R"({"score": 70, "list": ["a", "b"], "name": "botnet",
                                    "ip": "10.1.2.3"})");
    for (const char *text : expressions) {
        SCOPED_TRACE(text);
        std::string expression = text;
        size_t cold = allocations.load();
        ASSERT_TRUE(parser.Parse(flow, params, expression));
        EXPECT_GT(allocations.load() - cold, 0u) << "compiling is counted";
        size_t before = allocations.load();
        bool matched = parser.Parse(flow, params, expression);
        size_t allocated = allocations.load() - before;
        EXPECT_TRUE(matched);
        EXPECT_EQ(allocated, 0u);
    }
}
} // namespace

namespace
{
// The same expressions through Parse and through a compiled handle, on flows that differ where
// the expressions look.
TEST(FlowExpression, CompiledAgreesWithParse)
{
    ASSERT_NE(td_flow_expression_compile, nullptr);
    const char *expressions[] = {
        "other_port == 443 && ip_protocol == 6",
        "other_ip == 93.184.0.0/16 || local_ip in [10.0.0.0/8, 172.16.0.0/12]",
        "local_mac == 00:11:22:00:00:00/24",
        "host_server_name =~ '\\.example\\.com$' && !(16 in risks)",
        "tags has 'vip' || risks > 36",
        "digest_prev has '0000000000abcdef' || ssl.fingerprint == 'deadbeef'",
        "ssl.version >= 0x0303 && ssl.alpn has 'h2'",
        "intel.score > 50 && intel.list has 'b'",
        "dns_host_name != 'x' && not (local_rate > 2)",
        "93.184.216.34",
    };
    std::vector<std::shared_ptr<tdFlow>> flows = {MakeFlow(), MakeFlow(), MakeFlow(),
                                                  std::make_shared<tdFlow>()};
    flows[1]->lower_map = tdFlow::LOWER_MAP_OTHER;
    flows[1]->detected_protocol = 7;
    flows[1]->master_protocol = 7;
    flows[1]->risks = {16};
    flows[2]->digest_history = {0xabcdef};
    tdAddr::Create(flows[2]->upper_addr, "10.9.8.7");
    flows[2]->tags.clear();
    flows[2]->host_server_name = "example.org";
    const tdFlowParams params[] = {{}, Intel(R"({"score": 70, "list": ["a", "b"]})")};

    tdFlowParser parser;
    for (const char *text : expressions) {
        std::shared_ptr<const tdFlowExpression> compiled = td_flow_expression_compile(parser, text);
        ASSERT_NE(compiled, nullptr) << text;
        size_t matches = 0;
        for (size_t f = 0; f < flows.size(); f++)
            for (size_t p = 0; p < std::size(params); p++) {
                SCOPED_TRACE(std::string(text) + ", flow " + std::to_string(f) + ", params " +
                             std::to_string(p));
                bool parsed = parser.Parse(flows[f], params[p], text);
                std::lock_guard<std::recursive_mutex> guard(flows[f]->lock);
                EXPECT_EQ(td_flow_expression_evaluate(*compiled, *flows[f], params[p]), parsed);
                matches += parsed;
            }
        // Each row tells the flows apart, so agreement is no accident of a constant result.
        EXPECT_GT(matches, 0u) << text;
        EXPECT_LT(matches, flows.size() * std::size(params)) << text;
    }
}

TEST(FlowExpression, CompileThrowsWhatParseThrows)
{
    tdFlowParser parser;
    for (const char *text : {"", "other_ipp == 1", "host_server_name =~ '('", "local_port == 1 2"}) {
        SCOPED_TRACE(text);
        std::string parsed, compiled;
        try {
            parser.Parse(MakeFlow(), {}, text);
        } catch (const std::string &fault) {
            parsed = fault;
        }
        try {
            td_flow_expression_compile(parser, text);
        } catch (const std::string &fault) {
            compiled = fault;
        }
        EXPECT_FALSE(parsed.empty());
        EXPECT_EQ(compiled, parsed);
    }
}

TEST(FlowExpression, OutlivesTheCacheAndTheParser)
{
    auto flow = MakeFlow();
    std::shared_ptr<const tdFlowExpression> compiled;
    {
        tdFlowParser parser;
        compiled = td_flow_expression_compile(parser, "host_server_name =~ '^www\\.example\\.'");
        EXPECT_EQ(td_flow_expression_compile(parser, "host_server_name =~ '^www\\.example\\.'"),
                  compiled)
            << "compiled once, then taken from the cache";
        parser.ClearCache();
        EXPECT_EQ(parser.CachedRegexes(), 0u);
    }
    std::lock_guard<std::recursive_mutex> guard(flow->lock);
    EXPECT_TRUE(td_flow_expression_evaluate(*compiled, *flow, {}));
    flow->host_server_name = "example.org";
    EXPECT_FALSE(td_flow_expression_evaluate(*compiled, *flow, {}));
}

TEST(FlowExpression, EvaluatingDoesNotAllocate)
{
    tdFlowParser parser;
    auto flow = MakeFlow();
    flow->digest_history = {0x1, 0x2};
    tdFlowParams params = Intel(R"({"score": 70, "name": "botnet"})");
    auto compiled = td_flow_expression_compile(
        parser, "digest_prev has '0000000000000002' && ssl.fingerprint == 'deadbeef' && "
                "intel.name =~ '^bot' && other_ip == 93.184.0.0/16");
    std::lock_guard<std::recursive_mutex> guard(flow->lock);
    ASSERT_TRUE(td_flow_expression_evaluate(*compiled, *flow, params)); // warms the regex
    size_t before = allocations.load();
    bool matched = td_flow_expression_evaluate(*compiled, *flow, params);
    EXPECT_EQ(allocations.load() - before, 0u);
    EXPECT_TRUE(matched);
}

// A configuration of any size compiles once per reload: nothing is forgotten before ClearCache.
TEST(FlowParser, KeepsEveryExpressionUntilCleared)
{
    constexpr int EXPRESSIONS = 3000;
    tdFlowParser parser;
    auto flow = MakeFlow();
    for (int round = 0; round < 2; round++)
        for (int i = 0; i < EXPRESSIONS; i++)
            parser.Parse(flow, {}, "host_server_name =~ 'x" + std::to_string(i) + "'");
    EXPECT_EQ(parser.CachedExpressions(), size_t(EXPRESSIONS));
    EXPECT_EQ(parser.CachedRegexes(), size_t(EXPRESSIONS));

    const std::string oldest = "host_server_name =~ 'x0'";
    size_t before = allocations.load();
    EXPECT_FALSE(parser.Parse(flow, {}, oldest));
    EXPECT_EQ(allocations.load() - before, 0u) << "the oldest expression is still compiled";

    parser.ClearCache();
    EXPECT_EQ(parser.CachedExpressions(), 0u);
    EXPECT_EQ(parser.CachedRegexes(), 0u);
}
} // namespace
