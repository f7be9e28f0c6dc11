#include "agent/expression/flow_expression_field.hpp"

#include "host/digest.hpp"
#include "host/flow.hpp"

#include <arpa/inet.h>
#include <limits>

namespace
{
using Value = tdFlowExpressionValue;
using Context = tdFlowExpressionField::Context;

constexpr uint32_t PROTO_TLS = 91;
constexpr uint32_t PROTO_QUIC = 188;

constexpr auto NUMBER = Value::T_NUMBER;
constexpr auto STRING = Value::T_STRING;
constexpr auto BOOLEAN = Value::T_BOOLEAN;
constexpr auto ADDRESS = Value::T_ADDRESS;
constexpr auto MAC = Value::T_MAC;
constexpr bool SET = true;
constexpr bool ONE = false;

// With lower map 2 the record's lower endpoint is the remote one, and every local_/other_ pair
// of keys swaps.
bool LowerIsOther(const tdFlow &flow)
{
    return flow.lower_map == tdFlow::LOWER_MAP_OTHER;
}

template <class T> const T &Local(const tdFlow &flow, const T &lower, const T &upper)
{
    return LowerIsOther(flow) ? upper : lower;
}

template <class T> const T &Other(const tdFlow &flow, const T &lower, const T &upper)
{
    return LowerIsOther(flow) ? lower : upper;
}

// The tunnel's own lower map decides when it says 1 or 2; otherwise the flow's does.
bool GtpLowerIsOther(const tdFlow &flow)
{
    switch (flow.gtp.lower_map) {
    case tdFlow::LOWER_MAP_LOCAL:
        return false;
    case tdFlow::LOWER_MAP_OTHER:
        return true;
    default:
        return LowerIsOther(flow);
    }
}

const tdAddr &GtpAddr(const tdFlow &flow, bool local)
{
    return GtpLowerIsOther(flow) == local ? flow.gtp.upper_addr : flow.gtp.lower_addr;
}

// TEIDs follow the tunnel's lower map only; the flow's does not apply to them.
uint32_t GtpTeid(const tdFlow &flow, bool local)
{
    bool lower_is_other = flow.gtp.lower_map == tdFlow::LOWER_MAP_OTHER;
    return ntohl(lower_is_other == local ? flow.gtp.upper_teid : flow.gtp.lower_teid);
}

// The "ssl" group exists for TLS (by master protocol) and QUIC flows only.
bool IsTLS(const tdFlow &flow)
{
    return flow.GetMasterProtocol() == PROTO_TLS || flow.detected_protocol == PROTO_QUIC;
}

bool IsGTP(const tdFlow &flow)
{
    return flow.tunnel_type == tdFlow::TUNNEL_GTP;
}

bool IsTCP(const tdFlow &flow)
{
    return flow.ip_protocol == IPPROTO_TCP;
}

// tdAddr::GetPort, without a call out of this file on the hot path.
uint16_t Port(const tdAddr &addr)
{
    if (addr.IsIPv4())
        return ntohs(addr.addr.in.sin_port);
    return addr.IsIPv6() ? ntohs(addr.addr.in6.sin6_port) : 0;
}

Value Unsigned(uint64_t value)
{
    if (value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
        return Value::Real(static_cast<double>(value));
    return Value::Integer(static_cast<int64_t>(value));
}

Value When(bool present, const Value &value)
{
    return present ? value : Value::Absent();
}

Value NameOrUnknown(const std::string &name)
{
    return Value::Text(name.empty() ? std::string_view("Unknown") : std::string_view(name));
}

// Room for the longest usual rendering (a SHA-1 text), so rendering does not allocate.
constexpr size_t SCRATCH_CAPACITY = 128;

// Where digests and hashes are rendered for a test: one text per thread, as evaluations run on
// any number of threads at once, reserved once so that rendering does not allocate.
std::string &Scratch()
{
    thread_local std::string scratch = [] {
        std::string text;
        text.reserve(SCRATCH_CAPACITY);
        return text;
    }();
    return scratch;
}

Value Hex(const std::vector<uint8_t> &bytes, std::string &scratch)
{
    td_sha1_to_string(bytes, scratch);
    return Value::Text(scratch);
}

Value Digest(uint64_t digest, std::string &scratch)
{
    td_xxh64_to_string(digest, scratch);
    return Value::Text(scratch);
}

const tdFlowExpressionField FIELDS[] = {
    // Identity.
    {"digest", STRING, ONE,
     [](const Context &c) {
         const tdFlow &f = c.flow;
         return Digest(f.digest_history.empty() ? f.digest : f.digest_history.back(), Scratch());
     }},
    {"digest_prev", STRING, SET,
     [](const Context &c) {
         const tdFlow &f = c.flow;
         if (f.digest_history.empty())
             return Digest(f.digest, Scratch());
         return Value::Digests(f.digest_history, Scratch());
     }},
    {"first_seen_at", NUMBER, ONE, [](const Context &c) { return Unsigned(c.flow.ts_first_seen); }},
    {"last_seen_at", NUMBER, ONE, [](const Context &c) { return Unsigned(c.flow.ts_last_seen); }},

    // Capture interface.
    {"interface", STRING, ONE, [](const Context &c) { return Value::Text(c.flow.iface_name); }},
    {"internal", BOOLEAN, ONE,
     [](const Context &c) { return Value::Boolean(c.flow.iface_role == tdFlow::ROLE_LAN); }},

    // One-bit facts.
    {"ip_nat", BOOLEAN, ONE, [](const Context &c) { return Value::Boolean(c.flow.ip_nat); }},
    {"dhc_hit", BOOLEAN, ONE, [](const Context &c) { return Value::Boolean(c.flow.dhc_hit); }},
    {"fhc_hit", BOOLEAN, ONE, [](const Context &c) { return Value::Boolean(c.flow.fhc_hit); }},
    {"soft_dissector", BOOLEAN, ONE,
     [](const Context &c) { return Value::Boolean(c.flow.soft_dissector); }},
    {"app_ip_override", BOOLEAN, ONE,
     [](const Context &c) { return Value::Boolean(c.flow.app_ip_override); }},
    {"app_proto_twins", BOOLEAN, ONE,
     [](const Context &c) { return Value::Boolean(c.flow.app_proto_twins); }},
    {"detection_guessed", BOOLEAN, ONE,
     [](const Context &c) { return Value::Boolean(c.flow.detection_guessed); }},
    {"detection_updated", BOOLEAN, ONE,
     [](const Context &c) { return Value::Boolean(c.flow.detection_updated); }},

    // IP header facts and orientation.
    {"ip_version", NUMBER, ONE, [](const Context &c) { return Value::Integer(c.flow.ip_version); }},
    {"ip_dscp", NUMBER, ONE, [](const Context &c) { return Value::Integer(c.flow.ip_dscp); }},
    {"ip_protocol", NUMBER, ONE,
     [](const Context &c) { return Value::Integer(c.flow.ip_protocol); }},
    {"vlan_id", NUMBER, ONE, [](const Context &c) { return Value::Integer(c.flow.vlan_id); }},
    {"other_type", STRING, ONE,
     [](const Context &c) { return Value::Text(tdFlow::GetOtherTypeText(c.flow.other_type)); }},
    {"local_origin", BOOLEAN, ONE,
     [](const Context &c) {
         bool upper_opened = c.flow.origin == tdFlow::ORIGIN_UPPER;
         return Value::Boolean(upper_opened == LowerIsOther(c.flow));
     }},

    // Endpoints.
    {"local_mac", MAC, ONE,
     [](const Context &c) {
         return Value::Address(Local(c.flow, c.flow.lower_mac, c.flow.upper_mac));
     }},
    {"other_mac", MAC, ONE,
     [](const Context &c) {
         return Value::Address(Other(c.flow, c.flow.lower_mac, c.flow.upper_mac));
     }},
    {"local_ip", ADDRESS, ONE,
     [](const Context &c) {
         return Value::Address(Local(c.flow, c.flow.lower_addr, c.flow.upper_addr));
     }},
    {"other_ip", ADDRESS, ONE,
     [](const Context &c) {
         return Value::Address(Other(c.flow, c.flow.lower_addr, c.flow.upper_addr));
     }},
    {"local_port", NUMBER, ONE,
     [](const Context &c) {
         return Value::Integer(Port(Local(c.flow, c.flow.lower_addr, c.flow.upper_addr)));
     }},
    {"other_port", NUMBER, ONE,
     [](const Context &c) {
         return Value::Integer(Port(Other(c.flow, c.flow.lower_addr, c.flow.upper_addr)));
     }},

    // Detection.
    {"detected_protocol", NUMBER, ONE,
     [](const Context &c) { return Value::Integer(c.flow.detected_protocol); }},
    {"detected_protocol_name", STRING, ONE,
     [](const Context &c) { return NameOrUnknown(c.flow.detected_protocol_name); }},
    {"detected_application", NUMBER, ONE,
     [](const Context &c) { return Value::Integer(c.flow.detected_application); }},
    {"detected_application_name", STRING, ONE,
     [](const Context &c) { return NameOrUnknown(c.flow.detected_application_name); }},
    {"category.application", NUMBER, ONE,
     [](const Context &c) { return Value::Integer(c.flow.category.application); }},
    {"category.protocol", NUMBER, ONE,
     [](const Context &c) { return Value::Integer(c.flow.category.protocol); }},
    {"category.domain", NUMBER, ONE,
     [](const Context &c) { return Value::Integer(c.flow.category.domain); }},
    {"category.overlay", NUMBER, ONE,
     [](const Context &c) { return Value::Integer(c.flow.category.overlay); }},
    {"category.local_network", NUMBER, ONE,
     [](const Context &c) {
         const auto &category = c.flow.category;
         return Value::Integer(Local(c.flow, category.lower_network, category.upper_network));
     }},
    {"category.other_network", NUMBER, ONE,
     [](const Context &c) {
         const auto &category = c.flow.category;
         return Value::Integer(Other(c.flow, category.lower_network, category.upper_network));
     }},

    // Names and protocol details.
    {"dns_host_name", STRING, ONE, [](const Context &c) { return Value::Text(c.flow.dns_host_name); }},
    {"host_server_name", STRING, ONE,
     [](const Context &c) { return Value::Text(c.flow.host_server_name); }},
    {"http.user_agent", STRING, ONE,
     [](const Context &c) {
         return When(c.flow.HasHttpUserAgent(), Value::Text(c.flow.user_agent));
     }},
    {"http.url", STRING, ONE, [](const Context &c) { return Value::Text(c.flow.http_url); }},
    {"dhcp.fingerprint", STRING, ONE,
     [](const Context &c) { return Value::Text(c.flow.dhcp_fingerprint); }},
    {"dhcp.class_ident", STRING, ONE,
     [](const Context &c) { return Value::Text(c.flow.dhcp_class_ident); }},
    {"ssh.client", STRING, ONE, [](const Context &c) { return Value::Text(c.flow.ssh_client_agent); }},
    {"ssh.server", STRING, ONE, [](const Context &c) { return Value::Text(c.flow.ssh_server_agent); }},
    {"ssdp.user_agent", STRING, ONE,
     [](const Context &c) {
         return When(c.flow.HasSSDPUserAgent(), Value::Text(c.flow.user_agent));
     }},
    {"mdns.answer", STRING, ONE, [](const Context &c) { return Value::Text(c.flow.mdns_answer); }},
    {"bt.info_hash", STRING, ONE,
     [](const Context &c) {
         return When(c.flow.HasBTInfoHash(), Hex(c.flow.bt_info_hash, Scratch()));
     }},

    // TLS and QUIC.
    {"ssl.version", NUMBER, ONE,
     [](const Context &c) { return When(IsTLS(c.flow), Value::Integer(c.flow.tls_version)); }},
    {"ssl.cipher_suite", NUMBER, ONE,
     [](const Context &c) {
         return When(IsTLS(c.flow), Value::Integer(c.flow.tls_cipher_suite));
     }},
    {"ssl.encrypted_ch_version", NUMBER, ONE,
     [](const Context &c) {
         return When(IsTLS(c.flow) && c.flow.HasTLSEncryptedCH(),
                     Value::Integer(c.flow.tls_ech_version));
     }},
    {"ssl.client_sni", STRING, ONE,
     [](const Context &c) { return When(IsTLS(c.flow), Value::Text(c.flow.host_server_name)); }},
    {"ssl.server_cn", STRING, ONE,
     [](const Context &c) { return When(IsTLS(c.flow), Value::Text(c.flow.tls_server_cn)); }},
    {"ssl.issuer_dn", STRING, ONE,
     [](const Context &c) { return When(IsTLS(c.flow), Value::Text(c.flow.tls_issuer_dn)); }},
    {"ssl.subject_dn", STRING, ONE,
     [](const Context &c) { return When(IsTLS(c.flow), Value::Text(c.flow.tls_subject_dn)); }},
    {"ssl.client_ja4", STRING, ONE,
     [](const Context &c) { return When(IsTLS(c.flow), Value::Text(c.flow.tls_client_ja4)); }},
    {"ssl.fingerprint", STRING, ONE,
     [](const Context &c) {
         const tdFlow &f = c.flow;
         return When(IsTLS(f) && !f.tls_cert_fingerprint.empty(),
                     Hex(f.tls_cert_fingerprint, Scratch()));
     }},
    {"ssl.alpn", STRING, SET,
     [](const Context &c) { return When(IsTLS(c.flow), Value::Strings(c.flow.tls_alpn)); }},
    {"ssl.alpn_server", STRING, SET,
     [](const Context &c) {
         return When(IsTLS(c.flow), Value::Strings(c.flow.tls_alpn_server));
     }},

    // STUN.
    {"stun.mapped", ADDRESS, ONE, [](const Context &c) { return Value::Address(c.flow.stun_mapped); }},
    {"stun.peer", ADDRESS, ONE, [](const Context &c) { return Value::Address(c.flow.stun_peer); }},
    {"stun.relayed", ADDRESS, ONE,
     [](const Context &c) { return Value::Address(c.flow.stun_relayed); }},
    {"stun.response", ADDRESS, ONE,
     [](const Context &c) { return Value::Address(c.flow.stun_response); }},
    {"stun.other", ADDRESS, ONE, [](const Context &c) { return Value::Address(c.flow.stun_other); }},

    // Risks and tags.
    {"risks", NUMBER, SET, [](const Context &c) { return Value::Risks(c.flow.risks); }},
    {"risks.risks", NUMBER, SET, [](const Context &c) { return Value::Risks(c.flow.risks); }},
    {"risks.ndpi_risk_score", NUMBER, ONE,
     [](const Context &c) { return Value::Integer(c.flow.risk_score); }},
    {"risks.ndpi_risk_score_client", NUMBER, ONE,
     [](const Context &c) { return Value::Integer(c.flow.risk_score_client); }},
    {"risks.ndpi_risk_score_server", NUMBER, ONE,
     [](const Context &c) { return Value::Integer(c.flow.risk_score_server); }},
    {"tags", STRING, SET, [](const Context &c) { return Value::Tags(c.flow.tags); }},

    // GTP tunnel.
    {"gtp.version", NUMBER, ONE,
     [](const Context &c) { return When(IsGTP(c.flow), Value::Integer(c.flow.gtp.version)); }},
    {"gtp.ip_version", NUMBER, ONE,
     [](const Context &c) { return When(IsGTP(c.flow), Value::Integer(c.flow.gtp.ip_version)); }},
    {"gtp.ip_dscp", NUMBER, ONE,
     [](const Context &c) { return When(IsGTP(c.flow), Value::Integer(c.flow.gtp.ip_dscp)); }},
    {"gtp.local_ip", ADDRESS, ONE,
     [](const Context &c) { return When(IsGTP(c.flow), Value::Address(GtpAddr(c.flow, true))); }},
    {"gtp.other_ip", ADDRESS, ONE,
     [](const Context &c) {
         return When(IsGTP(c.flow), Value::Address(GtpAddr(c.flow, false)));
     }},
    {"gtp.local_port", NUMBER, ONE,
     [](const Context &c) {
         return When(IsGTP(c.flow), Value::Integer(Port(GtpAddr(c.flow, true))));
     }},
    {"gtp.other_port", NUMBER, ONE,
     [](const Context &c) {
         return When(IsGTP(c.flow), Value::Integer(Port(GtpAddr(c.flow, false))));
     }},
    {"gtp.local_teid", NUMBER, ONE,
     [](const Context &c) { return When(IsGTP(c.flow), Value::Integer(GtpTeid(c.flow, true))); }},
    {"gtp.other_teid", NUMBER, ONE,
     [](const Context &c) { return When(IsGTP(c.flow), Value::Integer(GtpTeid(c.flow, false))); }},
    {"gtp.other_type", STRING, ONE,
     [](const Context &c) {
         return When(IsGTP(c.flow), Value::Text(tdFlow::GetGtpOtherTypeText(c.flow.gtp.other_type)));
     }},

    // Traffic counters.
    {"local_bytes", NUMBER, ONE,
     [](const Context &c) {
         const tdFlowStats &s = c.flow.stats;
         return Unsigned(Local(c.flow, s.lower_bytes, s.upper_bytes));
     }},
    {"other_bytes", NUMBER, ONE,
     [](const Context &c) {
         const tdFlowStats &s = c.flow.stats;
         return Unsigned(Other(c.flow, s.lower_bytes, s.upper_bytes));
     }},
    {"total_local_bytes", NUMBER, ONE,
     [](const Context &c) {
         const tdFlowStats &s = c.flow.stats;
         return Unsigned(Local(c.flow, s.lower_total_bytes, s.upper_total_bytes));
     }},
    {"total_other_bytes", NUMBER, ONE,
     [](const Context &c) {
         const tdFlowStats &s = c.flow.stats;
         return Unsigned(Other(c.flow, s.lower_total_bytes, s.upper_total_bytes));
     }},
    {"local_packets", NUMBER, ONE,
     [](const Context &c) {
         const tdFlowStats &s = c.flow.stats;
         return Value::Integer(Local(c.flow, s.lower_packets, s.upper_packets));
     }},
    {"other_packets", NUMBER, ONE,
     [](const Context &c) {
         const tdFlowStats &s = c.flow.stats;
         return Value::Integer(Other(c.flow, s.lower_packets, s.upper_packets));
     }},
    {"total_local_packets", NUMBER, ONE,
     [](const Context &c) {
         const tdFlowStats &s = c.flow.stats;
         return Value::Integer(Local(c.flow, s.lower_total_packets, s.upper_total_packets));
     }},
    {"total_other_packets", NUMBER, ONE,
     [](const Context &c) {
         const tdFlowStats &s = c.flow.stats;
         return Value::Integer(Other(c.flow, s.lower_total_packets, s.upper_total_packets));
     }},
    {"total_packets", NUMBER, ONE,
     [](const Context &c) { return Value::Integer(c.flow.stats.total_packets); }},
    {"total_bytes", NUMBER, ONE, [](const Context &c) { return Unsigned(c.flow.stats.total_bytes); }},
    {"detection_packets", NUMBER, ONE,
     [](const Context &c) { return Value::Integer(c.flow.stats.detection_packets); }},
    {"local_rate", NUMBER, ONE,
     [](const Context &c) {
         const tdFlowStats &s = c.flow.stats;
         return Value::Real(Local(c.flow, s.lower_rate, s.upper_rate));
     }},
    {"other_rate", NUMBER, ONE,
     [](const Context &c) {
         const tdFlowStats &s = c.flow.stats;
         return Value::Real(Other(c.flow, s.lower_rate, s.upper_rate));
     }},
    {"tcp.seq_errors", NUMBER, ONE,
     [](const Context &c) {
         return When(IsTCP(c.flow), Value::Integer(c.flow.stats.tcp_seq_errors));
     }},
    {"tcp.resets", NUMBER, ONE,
     [](const Context &c) { return When(IsTCP(c.flow), Value::Integer(c.flow.stats.tcp_resets)); }},
    {"tcp.retrans", NUMBER, ONE,
     [](const Context &c) {
         return When(IsTCP(c.flow), Value::Integer(c.flow.stats.tcp_retrans));
     }},
};
} // namespace

const tdFlowExpressionField *tdFlowExpressionField::Find(std::string_view name)
{
    for (const tdFlowExpressionField &field : FIELDS)
        if (name == field.name)
            return &field;
    return nullptr;
}

std::vector<std::string_view> tdFlowExpressionField::Names()
{
    std::vector<std::string_view> names;
    for (const tdFlowExpressionField &field : FIELDS)
        names.emplace_back(field.name);
    return names;
}
