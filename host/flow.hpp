#pragma once

#include "host/addr.hpp"
#include "host/flags.hpp"
#include "host/serializer.hpp"

#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

// Traffic counters of a flow, in the host's record order.
struct tdFlowStats {
    uint64_t lower_bytes = 0;
    uint64_t upper_bytes = 0;
    uint64_t total_bytes = 0;
    uint64_t lower_total_bytes = 0;
    uint64_t upper_total_bytes = 0;
    uint32_t lower_packets = 0;
    uint32_t upper_packets = 0;
    uint32_t total_packets = 0;
    uint32_t lower_total_packets = 0;
    uint32_t upper_total_packets = 0;
    uint8_t detection_packets = 0;
    float lower_rate = 0;
    float upper_rate = 0;
    uint32_t tcp_seq_errors = 0;
    uint32_t tcp_resets = 0;
    uint32_t tcp_retrans = 0;
};

// The host's per-flow record. "Lower" and "upper" are the two endpoints in the host's address
// order; `lower_map` tells which of them is on the local network. Host threads update a record
// under `lock`; readers that need a consistent view take it too.
class tdFlow : public tdSerializer
{
public:
    enum class EncodeFlags : uint8_t {
        NONE = 0x00,
        METADATA = 0x01,
        TUNNELS = 0x02,
        STATS = 0x04,
    };
    static constexpr EncodeFlags ENCODE_METADATA = EncodeFlags::METADATA;
    static constexpr EncodeFlags ENCODE_TUNNELS = EncodeFlags::TUNNELS;
    static constexpr EncodeFlags ENCODE_STATS = EncodeFlags::STATS;

    enum class PrintFlags : uint8_t {
        NONE = 0x00,
        ADDRESSES = 0x01,
        PORTS = 0x02,
        METADATA = 0x04,
    };

    enum LowerMap : uint8_t { LOWER_MAP_UNKNOWN = 0, LOWER_MAP_LOCAL = 1, LOWER_MAP_OTHER = 2 };
    enum Origin : uint8_t { ORIGIN_UNKNOWN = 0, ORIGIN_LOWER = 1, ORIGIN_UPPER = 2 };
    enum OtherType : uint8_t {
        OTHER_UNKNOWN = 0,
        OTHER_UNSUPPORTED = 1,
        OTHER_LOCAL = 2,
        OTHER_MULTICAST = 3,
        OTHER_BROADCAST = 4,
        OTHER_REMOTE = 5,
        OTHER_ERROR = 6,
    };
    enum TunnelType : uint8_t { TUNNEL_NONE = 0, TUNNEL_GTP = 1 };
    enum PrivacyMask : uint8_t {
        PRIVATE_LOWER_MAC = 0x01,
        PRIVATE_UPPER_MAC = 0x02,
        PRIVATE_UPPER_IP = 0x04,
        PRIVATE_LOWER_IP = 0x08,
    };
    enum InterfaceRole : uint8_t { ROLE_NONE = 0, ROLE_LAN = 1, ROLE_WAN = 2 };

    static constexpr uint32_t PROTO_HTTP = 7;
    static constexpr uint32_t PROTO_SSDP = 12;

    // Writes the record's JSON form into `j`. Defined by the plug-in, which carries the
    // instantiation for its JSON type.
    template <class J>
    void Encode(J &j, const tdFlowStats &stats, tdFlags<EncodeFlags> flags) const;

    // Writes a debug description of the flow, labelled, when debug output is on.
    void Print(tdFlags<PrintFlags> flags, const std::string &label) const;

    // Texts of the other-type codes, at flow level and for a GTP tunnel's endpoints.
    static const char *GetOtherTypeText(uint8_t other_type);
    static const char *GetGtpOtherTypeText(uint8_t other_type);

    uint32_t GetMasterProtocol() const { return master_protocol; }

    bool HasHttpUserAgent() const { return !user_agent.empty() && !IsSSDP(); }
    bool HasHttpURL() const { return !http_url.empty(); }
    bool HasDhcpFingerprint() const { return !dhcp_fingerprint.empty(); }
    bool HasDhcpClassIdent() const { return !dhcp_class_ident.empty(); }
    bool HasSSHClientAgent() const { return !ssh_client_agent.empty(); }
    bool HasSSHServerAgent() const { return !ssh_server_agent.empty(); }
    bool HasTLSClientSNI() const { return !host_server_name.empty(); }
    bool HasTLSEncryptedCH() const { return tls_ech_version != 0; }
    bool HasTLSServerCN() const { return !tls_server_cn.empty(); }
    bool HasTLSIssuerDN() const { return !tls_issuer_dn.empty(); }
    bool HasTLSSubjectDN() const { return !tls_subject_dn.empty(); }
    bool HasTLSClientJA4() const { return !tls_client_ja4.empty(); }
    bool HasBTInfoHash() const { return !bt_info_hash.empty(); }
    bool HasSSDPUserAgent() const { return !user_agent.empty() && IsSSDP(); }
    bool HasMDNSDomainName() const { return !mdns_answer.empty(); }
    bool HasSTUNAddress() const
    {
        return stun_mapped.IsSet() || stun_peer.IsSet() || stun_relayed.IsSet() ||
               stun_response.IsSet() || stun_other.IsSet();
    }

    // Identity.
    uint64_t digest = 0;
    std::vector<uint64_t> digest_history; // oldest first
    uint64_t ts_first_seen = 0;           // milliseconds since the epoch
    uint64_t ts_last_seen = 0;

    // IP header facts.
    uint8_t ip_version = 0;
    uint8_t ip_dscp = 0;
    uint8_t ip_protocol = 0;
    uint16_t vlan_id = 0;

    // Endpoints; IP addresses carry their ports.
    tdAddr lower_mac;
    tdAddr upper_mac;
    tdAddr lower_addr;
    tdAddr upper_addr;

    // Orientation.
    uint8_t lower_map = LOWER_MAP_UNKNOWN;
    uint8_t other_type = OTHER_UNKNOWN;
    uint8_t origin = ORIGIN_UNKNOWN;
    uint8_t tunnel_type = TUNNEL_NONE;
    uint8_t privacy_mask = 0;

    // One-bit facts.
    bool ip_nat = false;
    bool dhc_hit = false;
    bool fhc_hit = false;
    bool soft_dissector = false;
    bool app_ip_override = false;
    bool app_proto_twins = false;
    bool detection_guessed = false;
    bool detection_updated = false;

    // Host state: classification finished; not to be queued again when flows are reprocessed.
    bool detection_complete = false;
    bool reprocess_exclude = false;
    // The TCP connection was closed (FIN/RST seen), as opposed to timed out.
    bool tcp_closed = false;

    // Capture interface.
    std::string iface_name;
    uint8_t iface_role = ROLE_NONE;

    // Detection.
    uint32_t master_protocol = 0;
    uint32_t detected_protocol = 0;
    std::string detected_protocol_name;
    uint32_t detected_application = 0;
    std::string detected_application_name;
    struct {
        uint32_t application = 0;
        uint32_t protocol = 0;
        uint32_t domain = 0;
        uint32_t upper_network = 0; // first network category in record order
        uint32_t lower_network = 0;
        uint32_t overlay = 0;
    } category;

    // Names and protocol details.
    std::string dns_host_name;
    std::string host_server_name; // also the TLS client SNI
    std::string user_agent;       // HTTP or SSDP, by protocol
    std::string http_url;
    std::string dhcp_fingerprint;
    std::string dhcp_class_ident;
    std::string ssh_client_agent;
    std::string ssh_server_agent;
    uint16_t tls_version = 0;
    uint16_t tls_cipher_suite = 0;
    uint16_t tls_ech_version = 0;
    std::string tls_server_cn;
    std::string tls_issuer_dn;
    std::string tls_subject_dn;
    std::string tls_client_ja4;
    std::vector<uint8_t> tls_cert_fingerprint;
    std::vector<std::string> tls_alpn;
    std::vector<std::string> tls_alpn_server;
    std::vector<uint8_t> bt_info_hash;
    std::string mdns_answer;
    tdAddr stun_mapped;
    tdAddr stun_peer;
    tdAddr stun_relayed;
    tdAddr stun_response;
    tdAddr stun_other;

    // Risks and tags.
    std::set<int32_t> risks;
    uint16_t risk_score = 0;
    uint16_t risk_score_client = 0;
    uint16_t risk_score_server = 0;
    std::set<std::string> tags;

    // GTP tunnel; TEIDs are kept in network byte order.
    struct {
        uint8_t version = 0;
        uint8_t ip_version = 0;
        uint8_t ip_dscp = 0;
        uint8_t lower_map = LOWER_MAP_UNKNOWN;
        uint8_t other_type = OTHER_UNKNOWN;
        tdAddr lower_addr;
        tdAddr upper_addr;
        uint32_t lower_teid = 0;
        uint32_t upper_teid = 0;
    } gtp;

    tdFlowStats stats;

    mutable std::recursive_mutex lock;

private:
    bool IsSSDP() const { return master_protocol == PROTO_SSDP || detected_protocol == PROTO_SSDP; }
};
