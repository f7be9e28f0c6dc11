#include "encoding/flow_encode.hpp"

#include "encoding/endpoints.hpp"
#include "host/digest.hpp"
#include "host/global_config.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <mutex>

namespace
{
constexpr uint32_t PROTO_TLS = 91;
constexpr uint32_t PROTO_QUIC = 188;
constexpr uint8_t IP_PROTO_TCP = 6;
constexpr uint8_t IP_VERSION_4 = 4;

const char *const UNSET_MAC = "00:00:00:00:00:00";
const char *const PRIVATE_LOWER_MAC_TEXT = "00:52:14:00:00:00";
const char *const PRIVATE_UPPER_MAC_TEXT = "00:52:ff:00:00:00";
const char *const PRIVATE_UPPER_IPV4_TEXT = "127.255.0.254";
const char *const PRIVATE_UPPER_IPV6_TEXT = "fe:80::ffff:7fff:fe";
const char *const PRIVATE_LOWER_IPV4_TEXT = "127.255.0.253";
const char *const PRIVATE_LOWER_IPV6_TEXT = "fe:80::ffff:7fff:fd";
const char *const UNKNOWN_NAME = "Unknown";

// Key names of everything that belongs to one endpoint.
struct EndpointKeys {
    const char *mac;
    const char *ip;
    const char *port;
    const char *teid;
    const char *bytes;
    const char *total_bytes;
    const char *packets;
    const char *total_packets;
    const char *network;
    const char *rate;
};

const EndpointKeys LOCAL_KEYS = {
    "local_mac",         "local_ip",      "local_port",          "local_teid",    "local_bytes",
    "total_local_bytes", "local_packets", "total_local_packets", "local_network", "local_rate",
};
const EndpointKeys OTHER_KEYS = {
    "other_mac",         "other_ip",      "other_port",          "other_teid",    "other_bytes",
    "total_other_bytes", "other_packets", "total_other_packets", "other_network", "other_rate",
};

struct Sides {
    const EndpointKeys &lower;
    const EndpointKeys &upper;
};

Sides ResolveSides(uint8_t lower_map)
{
    if (tfaLowerIsOther(lower_map))
        return {OTHER_KEYS, LOCAL_KEYS};
    return {LOCAL_KEYS, OTHER_KEYS};
}

bool IsKnownLowerMap(uint8_t lower_map)
{
    return lower_map == tdFlow::LOWER_MAP_LOCAL || lower_map == tdFlow::LOWER_MAP_OTHER;
}

std::string DigestText(uint64_t digest)
{
    std::string text;
    td_xxh64_to_string(digest, text);
    return text;
}

std::string BytesText(const std::vector<uint8_t> &bytes)
{
    std::string text;
    td_sha1_to_string(bytes, text);
    return text;
}

std::string Hex16(uint16_t value)
{
    char text[sizeof("0xffff")];
    snprintf(text, sizeof(text), "0x%04hx", value);
    return text;
}

const std::string &NameOrUnknown(const std::string &name)
{
    static const std::string unknown = UNKNOWN_NAME;
    return name.empty() ? unknown : name;
}

class FlowEncoder
{
public:
    FlowEncoder(const tdFlow &flow, json &j) : flow(flow), j(j), sides(ResolveSides(flow.lower_map))
    {
    }

    void Identity() const
    {
        std::vector<std::string> history;
        history.reserve(std::max<size_t>(flow.digest_history.size(), 1));
        for (uint64_t digest : flow.digest_history)
            history.push_back(DigestText(digest));
        if (history.empty())
            history.push_back(DigestText(flow.digest));

        flow.serialize(j, {"digest"}, history.back());
        flow.serialize(j, {"digest_prev"}, history);
        flow.serialize(j, {"last_seen_at"}, flow.ts_last_seen);
    }

    void Metadata(tdFlags<tdGlobalConfig::Options> options) const
    {
        flow.serialize(j, {"ip_nat"}, flow.ip_nat);
        if (options.Has(tdGlobalConfig::GO_DHC))
            flow.serialize(j, {"dhc_hit"}, flow.dhc_hit);
        if (options.Has(tdGlobalConfig::GO_FHC))
            flow.serialize(j, {"fhc_hit"}, flow.fhc_hit);
        flow.serialize(j, {"soft_dissector"}, flow.soft_dissector);
        flow.serialize(j, {"app_ip_override"}, flow.app_ip_override);
        flow.serialize(j, {"app_proto_twins"}, flow.app_proto_twins);
        flow.serialize(j, {"ip_version"}, flow.ip_version);
        flow.serialize(j, {"ip_dscp"}, flow.ip_dscp);
        flow.serialize(j, {"ip_protocol"}, flow.ip_protocol);
        flow.serialize(j, {"vlan_id"}, flow.vlan_id);
        flow.serialize(j, {"other_type"}, tdFlow::GetOtherTypeText(flow.other_type));
        flow.serialize(j, {"local_origin"}, LocalOrigin());
        Endpoints();
        Detection();
        Details();
        Stun();
        flow.serialize(j, {"first_seen_at"}, flow.ts_first_seen);
        Risks();
        flow.serialize(j, {"tags"}, std::vector<std::string>(flow.tags.begin(), flow.tags.end()));
    }

    void Tunnel() const
    {
        if (flow.tunnel_type != tdFlow::TUNNEL_GTP)
            return;
        const auto &gtp = flow.gtp;
        // An unknown GTP lower map keeps the flow's address naming; TEIDs then fall back to
        // lower = local.
        const Sides addr = IsKnownLowerMap(gtp.lower_map) ? ResolveSides(gtp.lower_map) : sides;
        const Sides teid = ResolveSides(gtp.lower_map);

        flow.serialize(j, {"gtp", "version"}, gtp.version);
        flow.serialize(j, {"gtp", "ip_version"}, gtp.ip_version);
        flow.serialize(j, {"gtp", "ip_dscp"}, gtp.ip_dscp);
        flow.serialize(j, {"gtp", addr.lower.ip}, gtp.lower_addr.GetString());
        flow.serialize(j, {"gtp", addr.upper.ip}, gtp.upper_addr.GetString());
        flow.serialize(j, {"gtp", addr.lower.port}, gtp.lower_addr.GetPort(true));
        flow.serialize(j, {"gtp", addr.upper.port}, gtp.upper_addr.GetPort(true));
        flow.serialize(j, {"gtp", teid.lower.teid}, ntohl(gtp.lower_teid));
        flow.serialize(j, {"gtp", teid.upper.teid}, ntohl(gtp.upper_teid));
        flow.serialize(j, {"gtp", "other_type"}, tdFlow::GetGtpOtherTypeText(gtp.other_type));
    }

    void Stats(const tdFlowStats &stats) const
    {
        flow.serialize(j, {sides.lower.bytes}, stats.lower_bytes);
        flow.serialize(j, {sides.upper.bytes}, stats.upper_bytes);
        flow.serialize(j, {sides.lower.total_bytes}, stats.lower_total_bytes);
        flow.serialize(j, {sides.upper.total_bytes}, stats.upper_total_bytes);
        flow.serialize(j, {sides.lower.packets}, stats.lower_packets);
        flow.serialize(j, {sides.lower.total_packets}, stats.lower_total_packets);
        flow.serialize(j, {sides.upper.packets}, stats.upper_packets);
        flow.serialize(j, {sides.upper.total_packets}, stats.upper_total_packets);
        flow.serialize(j, {"total_packets"}, stats.total_packets);
        flow.serialize(j, {"total_bytes"}, stats.total_bytes);
        flow.serialize(j, {"detection_packets"}, stats.detection_packets);
        flow.serialize(j, {sides.lower.rate}, double(stats.lower_rate));
        flow.serialize(j, {sides.upper.rate}, double(stats.upper_rate));
        if (flow.ip_protocol != IP_PROTO_TCP)
            return;
        flow.serialize(j, {"tcp", "seq_errors"}, stats.tcp_seq_errors);
        flow.serialize(j, {"tcp", "resets"}, stats.tcp_resets);
        flow.serialize(j, {"tcp", "retrans"}, stats.tcp_retrans);
    }

private:
    bool LocalOrigin() const
    {
        const bool lower_is_other = tfaLowerIsOther(flow.lower_map);
        return flow.origin == tdFlow::ORIGIN_UPPER ? lower_is_other : !lower_is_other;
    }

    void Endpoints() const
    {
        const bool ipv4 = flow.ip_version == IP_VERSION_4;
        const uint8_t privacy = flow.privacy_mask;

        Mac(sides.lower.mac, flow.lower_mac, privacy & tdFlow::PRIVATE_LOWER_MAC,
            PRIVATE_LOWER_MAC_TEXT);
        Mac(sides.upper.mac, flow.upper_mac, privacy & tdFlow::PRIVATE_UPPER_MAC,
            PRIVATE_UPPER_MAC_TEXT);
        Ip(sides.lower.ip, flow.lower_addr, privacy & tdFlow::PRIVATE_LOWER_IP,
           ipv4 ? PRIVATE_LOWER_IPV4_TEXT : PRIVATE_LOWER_IPV6_TEXT);
        Ip(sides.upper.ip, flow.upper_addr, privacy & tdFlow::PRIVATE_UPPER_IP,
           ipv4 ? PRIVATE_UPPER_IPV4_TEXT : PRIVATE_UPPER_IPV6_TEXT);
        flow.serialize(j, {sides.lower.port}, flow.lower_addr.GetPort(true));
        flow.serialize(j, {sides.upper.port}, flow.upper_addr.GetPort(true));
    }

    void Mac(const char *key, const tdAddr &mac, bool hidden, const char *placeholder) const
    {
        if (hidden)
            flow.serialize(j, {key}, placeholder);
        else if (!mac.IsSet())
            flow.serialize(j, {key}, UNSET_MAC);
        else
            flow.serialize(j, {key}, mac.GetString());
    }

    void Ip(const char *key, const tdAddr &ip, bool hidden, const char *placeholder) const
    {
        if (hidden)
            flow.serialize(j, {key}, placeholder);
        else
            flow.serialize(j, {key}, ip.GetString());
    }

    void Detection() const
    {
        const auto &category = flow.category;
        flow.serialize(j, {"detected_protocol"}, flow.detected_protocol);
        flow.serialize(j, {"detected_protocol_name"}, NameOrUnknown(flow.detected_protocol_name));
        flow.serialize(j, {"detected_application"}, flow.detected_application);
        flow.serialize(j, {"detected_application_name"},
                       NameOrUnknown(flow.detected_application_name));
        flow.serialize(j, {"detection_guessed"}, flow.detection_guessed);
        flow.serialize(j, {"detection_updated"}, flow.detection_updated);
        flow.serialize(j, {"category", "application"}, category.application);
        flow.serialize(j, {"category", "protocol"}, category.protocol);
        flow.serialize(j, {"category", "domain"}, category.domain);
        flow.serialize(j, {"category", sides.lower.network}, category.lower_network);
        flow.serialize(j, {"category", sides.upper.network}, category.upper_network);
        flow.serialize(j, {"category", "overlay"}, category.overlay);
    }

    void Details() const
    {
        flow.serialize(j, {"dns_host_name"}, flow.dns_host_name);
        flow.serialize(j, {"host_server_name"}, flow.host_server_name);
        if (flow.HasHttpUserAgent())
            flow.serialize(j, {"http", "user_agent"}, flow.user_agent);
        if (flow.HasHttpURL())
            flow.serialize(j, {"http", "url"}, flow.http_url);
        if (flow.HasDhcpFingerprint())
            flow.serialize(j, {"dhcp", "fingerprint"}, flow.dhcp_fingerprint);
        if (flow.HasDhcpClassIdent())
            flow.serialize(j, {"dhcp", "class_ident"}, flow.dhcp_class_ident);
        if (flow.HasSSHClientAgent())
            flow.serialize(j, {"ssh", "client"}, flow.ssh_client_agent);
        if (flow.HasSSHServerAgent())
            flow.serialize(j, {"ssh", "server"}, flow.ssh_server_agent);
        if (IsTls())
            Tls();
        if (flow.HasBTInfoHash())
            flow.serialize(j, {"bt", "info_hash"}, BytesText(flow.bt_info_hash));
        if (flow.HasSSDPUserAgent())
            flow.serialize(j, {"ssdp", "user_agent"}, flow.user_agent);
        if (flow.HasMDNSDomainName())
            flow.serialize(j, {"mdns", "answer"}, flow.mdns_answer);
    }

    // QUIC carries TLS, so its flows get the TLS group even when TLS is not the master.
    bool IsTls() const
    {
        return flow.GetMasterProtocol() == PROTO_TLS || flow.detected_protocol == PROTO_QUIC;
    }

    void Tls() const
    {
        flow.serialize(j, {"ssl", "version"}, Hex16(flow.tls_version));
        flow.serialize(j, {"ssl", "cipher_suite"}, Hex16(flow.tls_cipher_suite));
        if (flow.HasTLSClientSNI())
            flow.serialize(j, {"ssl", "client_sni"}, flow.host_server_name);
        if (flow.HasTLSEncryptedCH())
            flow.serialize(j, {"ssl", "encrypted_ch_version"}, Hex16(flow.tls_ech_version));
        if (flow.HasTLSServerCN())
            flow.serialize(j, {"ssl", "server_cn"}, flow.tls_server_cn);
        if (flow.HasTLSIssuerDN())
            flow.serialize(j, {"ssl", "issuer_dn"}, flow.tls_issuer_dn);
        if (flow.HasTLSSubjectDN())
            flow.serialize(j, {"ssl", "subject_dn"}, flow.tls_subject_dn);
        if (flow.HasTLSClientJA4())
            flow.serialize(j, {"ssl", "client_ja4"}, flow.tls_client_ja4);
        if (!flow.tls_cert_fingerprint.empty())
            flow.serialize(j, {"ssl", "fingerprint"}, BytesText(flow.tls_cert_fingerprint));
        flow.serialize(j, {"ssl", "alpn"}, flow.tls_alpn);
        flow.serialize(j, {"ssl", "alpn_server"}, flow.tls_alpn_server);
    }

    void Stun() const
    {
        if (!flow.HasSTUNAddress())
            return;
        StunAddress("mapped", flow.stun_mapped);
        StunAddress("peer", flow.stun_peer);
        StunAddress("relayed", flow.stun_relayed);
        StunAddress("response", flow.stun_response);
        StunAddress("other", flow.stun_other);
    }

    void StunAddress(const char *key, const tdAddr &addr) const
    {
        if (addr.IsSet())
            flow.serialize(j, {"stun", key}, addr.GetString(tdAddr::MakeFlags::PORT));
    }

    void Risks() const
    {
        flow.serialize(j, {"risks", "risks"}, json(flow.risks));
        flow.serialize(j, {"risks", "ndpi_risk_score"}, flow.risk_score);
        flow.serialize(j, {"risks", "ndpi_risk_score_client"}, flow.risk_score_client);
        flow.serialize(j, {"risks", "ndpi_risk_score_server"}, flow.risk_score_server);
    }

    const tdFlow &flow;
    json &j;
    const Sides sides;
};
} // namespace

template <class J>
void tdFlow::Encode(J &j, const tdFlowStats &stats, tdFlags<EncodeFlags> flags) const
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    // Read before anything is written, so a missing configuration leaves `j` untouched.
    tdFlags<tdGlobalConfig::Options> options;
    if (flags.Has(ENCODE_METADATA))
        options = tdGlobalConfig::GetInstance().options;

    FlowEncoder encoder(*this, j);
    encoder.Identity();
    if (flags.Has(ENCODE_METADATA))
        encoder.Metadata(options);
    if (flags.Has(ENCODE_TUNNELS))
        encoder.Tunnel();
    if (flags.Has(ENCODE_STATS))
        encoder.Stats(stats);
}

template void tdFlow::Encode<json>(json &j, const tdFlowStats &stats,
                                   tdFlags<tdFlow::EncodeFlags> flags) const;
