#include "tools/replay/flow_generator.hpp"

#include "encoding/flow_encode.hpp"
#include "host/digest.hpp"

#include <arpa/inet.h>
#include <cstdio>

namespace
{
// 2024-06-10 06:13:20 UTC: a fixed start, so output does not depend on the clock.
constexpr uint64_t START_MS = 1718000000000ULL;
constexpr size_t MAX_ACTIVE = 12;
constexpr unsigned NEW_FLOW_PERCENT = 35;
constexpr uint64_t MAX_STEP_MS = 80;
constexpr size_t SHA1_SIZE = 20;

constexpr const char *LAN_IFACE = "em0";
constexpr const char *WAN_IFACE = "em1";
constexpr const char *GATEWAY_MAC = "02:00:5e:00:00:01";

enum class Kind { DNS, TLS, QUIC, HTTP, SSH, BITTORRENT, STUN };

struct Service {
    Kind kind;
    unsigned weight;
    uint8_t ip_protocol;
    uint16_t port;
    uint32_t protocol;
    const char *protocol_name;
    uint32_t master;
};

constexpr uint8_t TCP = 6;
constexpr uint8_t UDP = 17;

const Service services[] = {
    {Kind::DNS, 30, UDP, 53, 5, "DNS", 0},
    {Kind::TLS, 30, TCP, 443, 91, "TLS", 91},
    {Kind::QUIC, 12, UDP, 443, 188, "QUIC", 0},
    {Kind::HTTP, 8, TCP, 80, 7, "HTTP", 0},
    {Kind::SSH, 5, TCP, 22, 92, "SSH", 0},
    {Kind::BITTORRENT, 7, TCP, 6881, 37, "BitTorrent", 0},
    {Kind::STUN, 8, UDP, 3478, 78, "STUN", 0},
};

struct App {
    uint32_t id;
    const char *tag;
    const char *host;
};

// Applications as the example catalogue (examples/applications.json) knows them.
const App web_apps[] = {
    {119, "tarvix.facebook", "www.facebook.com"},
    {10, "tarvix.google", "www.google.com"},
    {72, "tarvix.netflix", "www.netflix.com"},
    {121, "tarvix.whatsapp", "web.whatsapp.com"},
    {142, "tarvix.telegram", "web.telegram.org"},
    {75, "tarvix.spotify", "open.spotify.com"},
    {11, "tarvix.youtube", "www.youtube.com"},
    {20, "tarvix.microsoft", "login.microsoftonline.com"},
    {30, "tarvix.apple", "www.apple.com"},
    {40, "tarvix.amazon", "www.amazon.com"},
};
const App bittorrent = {150, "tarvix.bittorrent", ""};
const App debian = {0, nullptr, "deb.debian.org"};

const char *const user_agents[] = {
    "Mozilla/5.0 (X11; Linux x86_64; rv:126.0) Gecko/20100101 Firefox/126.0",
    "Debian APT-HTTP/1.3 (2.6.1)",
    "curl/7.88.1",
};
const char *const url_paths[] = {"/", "/debian/dists/bookworm/InRelease", "/index.html",
                                 "/api/v1/status"};
const char *const ssh_clients[] = {"SSH-2.0-OpenSSH_9.2p1 Debian-2+deb12u2", "SSH-2.0-PuTTY_0.81"};
const char *const ssh_servers[] = {"SSH-2.0-OpenSSH_8.9p1 Ubuntu-3ubuntu0.7",
                                   "SSH-2.0-OpenSSH_9.6"};
const char *const intel_categories[] = {"malware", "botnet", "tor-exit", "scanner"};
const int32_t risk_ids[] = {11, 15, 26, 37, 41};

constexpr const char *TYPE_NEW = "flow";
constexpr const char *TYPE_UPDATE = "flow_update";
constexpr const char *TYPE_COMPLETE = "flow_dpi_complete";
constexpr const char *TYPE_INTEL = "flow_intel";
constexpr const char *TYPE_PURGE = "flow_purge";

std::string MacText(unsigned host)
{
    char text[18];
    snprintf(text, sizeof(text), "02:00:5e:10:00:%02x", host & 0xff);
    return text;
}

void SetAddress(tdAddr &addr, const std::string &text, uint16_t port)
{
    tdAddr::Create(addr, text);
    addr.SetPort(port);
}
} // namespace

struct tfaFlowGenerator::Flow {
    tdFlow record;
    const Service *service = nullptr;
    App app{};
    std::string iface;
    bool internal = true;
    std::vector<const char *> script; // event types, in order
    size_t events = 0;                // how many of them were made
    bool done = false;
};

tfaFlowGenerator::tfaFlowGenerator(uint64_t seed) : random(seed), clock_ms(START_MS)
{
}

tfaFlowGenerator::~tfaFlowGenerator() = default;

// A plain modulo keeps the sequence the same with every standard library, which the standard
// distributions do not promise.
uint64_t tfaFlowGenerator::Uniform(uint64_t bound)
{
    return random() % bound;
}

bool tfaFlowGenerator::Chance(unsigned percent)
{
    return Uniform(100) < percent;
}

json tfaFlowGenerator::Next()
{
    clock_ms += 1 + Uniform(MAX_STEP_MS);
    if (active.empty() || (active.size() < MAX_ACTIVE && Chance(NEW_FLOW_PERCENT)))
        active.push_back(Start());
    size_t index =
        active.size() == 1 || Chance(NEW_FLOW_PERCENT) ? active.size() - 1 : Uniform(active.size());
    json event = Advance(*active[index]);
    if (active[index]->done)
        active.erase(active.begin() + static_cast<long>(index));
    return event;
}

void tfaFlowGenerator::Write(std::ostream &out, size_t count)
{
    for (size_t i = 0; i < count; i++)
        out << Next().dump(-1, ' ', false, json::error_handler_t::replace) << '\n';
}

std::unique_ptr<tfaFlowGenerator::Flow> tfaFlowGenerator::Start()
{
    auto flow = std::make_unique<Flow>();
    unsigned total = 0, pick;
    for (const auto &service : services)
        total += service.weight;
    pick = static_cast<unsigned>(Uniform(total));
    for (const auto &service : services) {
        flow->service = &service;
        if (pick < service.weight)
            break;
        pick -= service.weight;
    }

    tdFlow &f = flow->record;
    const Service &service = *flow->service;
    bool ipv6 = Chance(30);
    flow->internal = Chance(70);
    flow->iface = flow->internal ? LAN_IFACE : WAN_IFACE;
    unsigned host = 10 + static_cast<unsigned>(Uniform(40));
    unsigned remote = 1 + static_cast<unsigned>(Uniform(254));
    bool local_resolver = service.kind == Kind::DNS && flow->internal && Chance(50);

    std::string local_ip, other_ip;
    if (ipv6) {
        char text[64];
        snprintf(text, sizeof(text), "fd00:10::%x", host);
        local_ip = flow->internal ? text : "2001:db8:ffff::2";
        snprintf(text, sizeof(text), "2001:db8:100::%x", remote);
        other_ip = local_resolver ? "fd00:10::1" : text;
    } else {
        local_ip = flow->internal ? "192.168.10." + std::to_string(host) : "192.0.2.2";
        other_ip = local_resolver
                       ? "192.168.10.1"
                       : (Chance(50) ? "198.51.100." : "203.0.113.") + std::to_string(remote);
    }
    uint16_t other_port = service.port;
    if (service.kind == Kind::BITTORRENT)
        other_port = static_cast<uint16_t>(service.port + Uniform(9));

    f.digest = random();
    if (Chance(10))
        f.digest_history = {random(), f.digest};
    f.ts_first_seen = f.ts_last_seen = clock_ms;
    f.ip_version = ipv6 ? 6 : 4;
    f.ip_protocol = service.ip_protocol;
    f.ip_dscp = Chance(10) ? 46 : 0;
    f.vlan_id = flow->internal && Chance(20) ? 10 : 0;
    f.lower_map = tdFlow::LOWER_MAP_LOCAL;
    f.other_type = local_resolver ? tdFlow::OTHER_LOCAL : tdFlow::OTHER_REMOTE;
    f.origin = Chance(90) ? tdFlow::ORIGIN_LOWER : tdFlow::ORIGIN_UPPER;
    f.ip_nat = !flow->internal && Chance(50);
    f.dhc_hit = Chance(20);
    f.fhc_hit = Chance(10);
    tdAddr::Create(f.lower_mac, MacText(host));
    tdAddr::Create(f.upper_mac, GATEWAY_MAC);
    SetAddress(f.lower_addr, local_ip, static_cast<uint16_t>(32768 + Uniform(28000)));
    SetAddress(f.upper_addr, other_ip, other_port);
    f.iface_name = flow->iface;
    f.iface_role = flow->internal ? tdFlow::ROLE_LAN : tdFlow::ROLE_WAN;

    if (service.kind == Kind::DNS || service.kind == Kind::TLS || service.kind == Kind::QUIC ||
        (service.kind == Kind::STUN && Chance(50)))
        flow->app = web_apps[Uniform(sizeof(web_apps) / sizeof(web_apps[0]))];
    else if (service.kind == Kind::HTTP)
        flow->app = debian;
    else if (service.kind == Kind::BITTORRENT)
        flow->app = bittorrent;

    flow->script = {TYPE_NEW};
    flow->script.insert(flow->script.end(), Uniform(3), TYPE_UPDATE);
    flow->script.push_back(TYPE_COMPLETE);
    if (Chance(8))
        flow->script.push_back(TYPE_INTEL);
    if (Chance(75))
        flow->script.push_back(TYPE_PURGE);
    return flow;
}

void tfaFlowGenerator::Count(tdFlow &f)
{
    tdFlowStats &stats = f.stats;
    uint32_t packets = 1 + static_cast<uint32_t>(Uniform(20));
    stats.lower_packets = packets;
    stats.upper_packets = packets + static_cast<uint32_t>(Uniform(3));
    stats.lower_bytes = packets * (60 + Uniform(400));
    stats.upper_bytes = packets * (60 + Uniform(1400));
    stats.lower_total_packets += stats.lower_packets;
    stats.upper_total_packets += stats.upper_packets;
    stats.total_packets = stats.lower_total_packets + stats.upper_total_packets;
    stats.lower_total_bytes += stats.lower_bytes;
    stats.upper_total_bytes += stats.upper_bytes;
    stats.total_bytes = stats.lower_total_bytes + stats.upper_total_bytes;
    // Quarter steps keep the rates exact in JSON text.
    stats.lower_rate = static_cast<float>(Uniform(400000)) / 4;
    stats.upper_rate = static_cast<float>(Uniform(4000000)) / 4;
    if (f.ip_protocol == TCP && Chance(10))
        stats.tcp_retrans++;
}

void tfaFlowGenerator::Detect(Flow &flow)
{
    tdFlow &f = flow.record;
    const Service &service = *flow.service;
    f.detected_protocol = service.protocol;
    f.detected_protocol_name = service.protocol_name;
    f.master_protocol = service.master;
    f.stats.detection_packets = static_cast<uint8_t>(2 + Uniform(8));
    f.detection_guessed = Chance(5);
    f.category.protocol = 1 + static_cast<uint32_t>(Uniform(20));
    f.category.lower_network = 1;
    f.category.upper_network = f.other_type == tdFlow::OTHER_LOCAL ? 1 : 2;
    if (flow.app.tag != nullptr) {
        f.detected_application = flow.app.id;
        f.detected_application_name = std::to_string(flow.app.id) + "." + flow.app.tag;
        f.category.application = 1 + static_cast<uint32_t>(Uniform(40));
        f.category.domain = static_cast<uint32_t>(Uniform(10));
    }

    switch (service.kind) {
    case Kind::DNS:
        f.dns_host_name = f.host_server_name = flow.app.host;
        break;
    case Kind::TLS:
    case Kind::QUIC:
        f.host_server_name = flow.app.host;
        f.tls_version = service.kind == Kind::QUIC || Chance(60) ? 0x0304 : 0x0303;
        f.tls_cipher_suite = f.tls_version == 0x0304 ? 0x1301 : 0xc02f;
        f.tls_client_ja4 = "t13d1516h2_8daaf6152771_02713d6af862";
        f.tls_server_cn = std::string("*.") + flow.app.host;
        f.tls_issuer_dn = "CN=Example Issuing CA 1,O=Example Trust,C=US";
        f.tls_subject_dn = "CN=" + f.tls_server_cn;
        for (size_t i = 0; i < SHA1_SIZE; i++)
            f.tls_cert_fingerprint.push_back(static_cast<uint8_t>(Uniform(256)));
        f.tls_alpn = service.kind == Kind::QUIC ? std::vector<std::string>{"h3"}
                                                : std::vector<std::string>{"h2", "http/1.1"};
        f.tls_alpn_server = {f.tls_alpn.front()};
        if (Chance(15))
            f.tls_ech_version = 0xfe0d;
        break;
    case Kind::HTTP:
        f.host_server_name = flow.app.host;
        f.user_agent = user_agents[Uniform(3)];
        f.http_url = url_paths[Uniform(4)];
        break;
    case Kind::SSH:
        f.ssh_client_agent = ssh_clients[Uniform(2)];
        f.ssh_server_agent = ssh_servers[Uniform(2)];
        break;
    case Kind::BITTORRENT:
        for (size_t i = 0; i < SHA1_SIZE; i++)
            f.bt_info_hash.push_back(static_cast<uint8_t>(Uniform(256)));
        break;
    case Kind::STUN:
        SetAddress(f.stun_mapped, f.ip_version == 6 ? "2001:db8:ffff::2" : "192.0.2.2",
                   static_cast<uint16_t>(40000 + Uniform(20000)));
        if (Chance(30))
            f.stun_relayed = f.upper_addr;
        break;
    }

    if (Chance(15)) {
        f.risks.insert(risk_ids[Uniform(sizeof(risk_ids) / sizeof(risk_ids[0]))]);
        f.risk_score_client = static_cast<uint16_t>(10 * (1 + Uniform(10)));
        f.risk_score_server = static_cast<uint16_t>(10 * Uniform(5));
        f.risk_score = static_cast<uint16_t>(f.risk_score_client + f.risk_score_server);
    }
}

json tfaFlowGenerator::Advance(Flow &flow)
{
    tdFlow &f = flow.record;
    const std::string type = flow.script[flow.events++];
    flow.done = flow.events == flow.script.size();
    f.ts_last_seen = clock_ms;
    Count(f);
    // The first event comes before classification; the second one carries its results.
    if (flow.events == 2)
        Detect(flow);

    json payload = {{"type", type}, {"interface", flow.iface}, {"internal", flow.internal}};
    if (type == TYPE_COMPLETE)
        f.detection_complete = true;
    if (type == TYPE_INTEL)
        payload["intel"] = {
            {"feed", "example-threat-feed"},
            {"indicator", f.upper_addr.GetString()},
            {"category", intel_categories[Uniform(4)]},
            {"score", 40 + Uniform(60)},
        };
    if (type == TYPE_PURGE) {
        f.tcp_closed = f.ip_protocol == TCP && Chance(60);
        payload["reason"] = f.tcp_closed ? "closed" : "expired";
    }
    f.Encode(payload["flow"], f.stats,
             tdFlags<tdFlow::EncodeFlags>(tdFlow::ENCODE_METADATA) | tdFlow::ENCODE_TUNNELS |
                 tdFlow::ENCODE_STATS);
    return payload;
}
