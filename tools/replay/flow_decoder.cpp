#include "tools/replay/flow_decoder.hpp"

#include "host/exception.hpp"
#include "tools/replay/dom_json.hpp"
#include "tools/replay/echo_text.hpp"
#include "tools/replay/json_members.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <optional>

namespace
{
constexpr uint32_t PROTO_TLS = 91;
constexpr uint32_t PROTO_QUIC = 188;
constexpr const char *UNKNOWN_NAME = "Unknown";
constexpr const char *UNSET_MAC = "00:00:00:00:00:00";
constexpr size_t DIGEST_DIGITS = 16;
constexpr size_t HEX16_DIGITS = 4;
constexpr size_t EXCERPT_LENGTH = 64;

using OtherTypeText = const char *(*)(uint8_t);

// The other-type texts the encoder writes, read back through the record's own table: the codes
// whose text under `text_of` is also their flow-level text (so that a tunnel's "unsupported"
// reads as OTHER_UNSUPPORTED, not as one of the codes it stands for).
std::map<std::string, uint8_t> OtherTypeCodes(OtherTypeText text_of)
{
    std::map<std::string, uint8_t> codes;
    for (uint8_t code = tdFlow::OTHER_UNKNOWN; code <= tdFlow::OTHER_ERROR; code++)
        if (std::string(text_of(code)) == tdFlow::GetOtherTypeText(code))
            codes.emplace(text_of(code), code);
    return codes;
}

const std::map<std::string, uint8_t> &FlowOtherTypes()
{
    static const auto codes = OtherTypeCodes(tdFlow::GetOtherTypeText);
    return codes;
}

const std::map<std::string, uint8_t> &GtpOtherTypes()
{
    static const auto codes = OtherTypeCodes(tdFlow::GetGtpOtherTypeText);
    return codes;
}

using simdjson::dom::element;

std::string Excerpt(const json &value)
{
    std::string text = value.dump(-1, ' ', false, json::error_handler_t::replace);
    if (text.size() > EXCERPT_LENGTH)
        text = text.substr(0, EXCERPT_LENGTH) + "...";
    return text;
}

std::string Excerpt(element value)
{
    return Excerpt(tfaDomToJson(value));
}

// Integers from 0 up, written without fraction or exponent; "-0" reads as 0.
bool IsUnsigned(element value)
{
    return value.is_uint64();
}

bool IsInteger(element value)
{
    return value.is_int64() || value.is_uint64();
}

// Risk ids are 32-bit signed; an integer past the signed 64-bit range is none, never wrapped
// into it.
bool IsRiskId(element risk)
{
    if (!risk.is_int64())
        return false;
    int64_t id = risk.get_int64().value_unsafe();
    return id >= std::numeric_limits<int32_t>::min() && id <= std::numeric_limits<int32_t>::max();
}

bool IsHex(std::string_view text)
{
    for (char c : text)
        if (!isxdigit(static_cast<unsigned char>(c)))
            return false;
    return !text.empty();
}

// Digits IsHex accepted, as few as the type holds.
template <class T> T HexValue(std::string_view digits)
{
    T value = 0;
    std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
    return value;
}

// Reads the members of one JSON object by name and remembers which were read, so that a member
// nobody reads (a misspelt name, mostly) is reported instead of silently dropped.
class MemberReader
{
public:
    MemberReader(element object, std::string path)
        : members(Members(object, path)), path(std::move(path))
    {
    }

    std::string PathOf(std::string_view key) const { return path + "." + std::string(key); }

    [[noreturn]] void Fail(std::string_view key, const char *expected, element value) const
    {
        Fail(key, expected, tfaDomToJson(value));
    }

    [[noreturn]] void Fail(std::string_view key, const char *expected, const json &value) const
    {
        throw tdException("%s: expected %s: %s", PathOf(key).c_str(), expected,
                          Excerpt(value).c_str());
    }

    const element *Find(std::string_view key) { return members.Find(key); }

    template <class T> bool Unsigned(std::string_view key, T &value)
    {
        const element *member = Find(key);
        if (member == nullptr)
            return false;
        constexpr uint64_t max = std::numeric_limits<T>::max();
        if (!IsUnsigned(*member) || member->get_uint64().value_unsafe() > max) {
            std::string expected = "an unsigned number up to " + std::to_string(max);
            Fail(key, expected.c_str(), *member);
        }
        value = static_cast<T>(member->get_uint64().value_unsafe());
        return true;
    }

    bool Bool(std::string_view key, bool &value)
    {
        const element *member = Find(key);
        if (member == nullptr)
            return false;
        if (!member->is_bool())
            Fail(key, "a boolean", *member);
        value = member->get_bool().value_unsafe();
        return true;
    }

    bool String(std::string_view key, std::string &value)
    {
        const element *member = Find(key);
        if (member == nullptr)
            return false;
        if (!member->is_string())
            Fail(key, "a string", *member);
        value = member->get_string().value_unsafe();
        return true;
    }

    bool Strings(std::string_view key, std::vector<std::string> &values)
    {
        const element *member = Find(key);
        if (member == nullptr)
            return false;
        if (!member->is_array())
            Fail(key, "an array of strings", *member);
        simdjson::dom::array items = member->get_array().value_unsafe();
        for (element item : items) {
            if (!item.is_string())
                Fail(key, "an array of strings", *member);
            values.emplace_back(item.get_string().value_unsafe());
        }
        return true;
    }

    // Rates are 32-bit floats the encoder widened to double; narrowing gives them back exactly.
    bool Float(std::string_view key, float &value)
    {
        const element *member = Find(key);
        if (member == nullptr)
            return false;
        if (!member->is_number())
            Fail(key, "a number", *member);
        double wide = member->get_double().value_unsafe();
        if (std::fabs(wide) > std::numeric_limits<float>::max())
            Fail(key, "a number within the range of a 32-bit float", *member);
        value = static_cast<float>(wide);
        return true;
    }
    // A 16-bit value written as "0x%04hx".
    bool Hex16(std::string_view key, uint16_t &value)
    {
        std::string text;
        if (!String(key, text))
            return false;
        std::string digits = text.size() > 2 ? text.substr(2) : std::string();
        if (text.compare(0, 2, "0x") != 0 || digits.size() > HEX16_DIGITS || !IsHex(digits))
            Fail(key, "\"0x\" and up to four hexadecimal digits", text);
        value = HexValue<uint16_t>(digits);
        return true;
    }

    // A byte list written two lower-case hexadecimal digits a byte.
    bool HexBytes(std::string_view key, std::vector<uint8_t> &bytes)
    {
        std::string text;
        if (!String(key, text))
            return false;
        if (text.size() % 2 != 0 || (!text.empty() && !IsHex(text)))
            Fail(key, "hexadecimal digits, two a byte", text);
        for (size_t i = 0; i < text.size(); i += 2)
            bytes.push_back(HexValue<uint8_t>(std::string_view(text).substr(i, 2)));
        return true;
    }

    uint64_t Digest(std::string_view key, element member) const
    {
        if (!member.is_string())
            Fail(key, "a string of 16 hexadecimal digits", member);
        std::string_view text = member.get_string().value_unsafe();
        if (text.size() != DIGEST_DIGITS || !IsHex(text))
            Fail(key, "a string of 16 hexadecimal digits", member);
        return HexValue<uint64_t>(text);
    }

    bool Digest(std::string_view key, uint64_t &digest)
    {
        const element *member = Find(key);
        if (member == nullptr)
            return false;
        digest = Digest(key, *member);
        return true;
    }

    bool Digests(std::string_view key, std::vector<uint64_t> &digests)
    {
        const element *member = Find(key);
        if (member == nullptr)
            return false;
        if (!member->is_array())
            Fail(key, "an array of digest strings", *member);
        simdjson::dom::array items = member->get_array().value_unsafe();
        for (element item : items)
            digests.push_back(Digest(key, item));
        return true;
    }

    bool Mac(std::string_view key, tdAddr &addr)
    {
        std::string text;
        if (!String(key, text) || text == UNSET_MAC)
            return false;
        if (!tdAddr::Create(addr, text) || !addr.IsEthernet())
            Fail(key, "a MAC address", text);
        return true;
    }

    bool IP(std::string_view key, tdAddr &addr)
    {
        std::string text;
        if (!String(key, text))
            return false;
        if (!tdAddr::Create(addr, text) || !(addr.IsIPv4() || addr.IsIPv6()))
            Fail(key, "an IPv4 or IPv6 address", text);
        return true;
    }

    // The port member of an address member read before; a port needs an address to live in.
    void Port(std::string_view key, tdAddr &addr, std::string_view addr_key)
    {
        uint16_t port = 0;
        if (!Unsigned(key, port))
            return;
        if (!addr.IsSet() && port != 0)
            throw tdException("%s: needs %s", PathOf(key).c_str(), PathOf(addr_key).c_str());
        addr.SetPort(port);
    }

    // An address with its port as the encoder writes STUN addresses: "192.0.2.1:3478",
    // "[2001:db8::1]:3478". A bare address is taken with port 0.
    bool AddressWithPort(std::string_view key, tdAddr &addr)
    {
        std::string text;
        if (!String(key, text))
            return false;
        std::string host = text, port;
        size_t colon = text.rfind(':');
        if (!text.empty() && text[0] == '[') {
            size_t close = text.find(']');
            if (close == std::string::npos || close + 1 != colon)
                Fail(key, "an address with its port", text);
            host = text.substr(1, close - 1);
            port = text.substr(colon + 1);
        } else if (colon != std::string::npos && text.find(':') == colon) {
            host = text.substr(0, colon);
            port = text.substr(colon + 1);
        }
        bool port_ok = port.empty() || (port.size() <= 5 &&
                                        port.find_first_not_of("0123456789") == std::string::npos);
        if (!port_ok || !tdAddr::Create(addr, host) || !(addr.IsIPv4() || addr.IsIPv6()) ||
            (!port.empty() && std::stoul(port) > std::numeric_limits<uint16_t>::max()))
            Fail(key, "an address with its port", text);
        if (!port.empty())
            addr.SetPort(static_cast<uint16_t>(std::stoul(port)));
        return true;
    }

    bool OtherType(std::string_view key, const std::map<std::string, uint8_t> &names,
                   uint8_t &code)
    {
        std::string text;
        if (!String(key, text))
            return false;
        auto it = names.find(text);
        if (it == names.end()) {
            std::string expected;
            for (const auto &name : names)
                expected += (expected.empty() ? "one of " : ", ") + name.first;
            Fail(key, expected.c_str(), text);
        }
        code = it->second;
        return true;
    }

    std::optional<MemberReader> Group(std::string_view key)
    {
        const element *member = Find(key);
        if (member == nullptr)
            return std::nullopt;
        return MemberReader(*member, PathOf(key));
    }

    // Throws for the first member, in order of names, that no one read.
    void Finish() const
    {
        if (const tfaJsonMembers::Member *unread = members.FirstUnread())
            throw tdException("%s: unknown member",
                              PathOf(tfaEchoText(unread->key, EXCERPT_LENGTH)).c_str());
    }

private:
    static tfaJsonMembers Members(element object, const std::string &path)
    {
        if (!object.is_object())
            throw tdException("%s: expected an object: %s", path.c_str(), Excerpt(object).c_str());
        return tfaJsonMembers(object.get_object().value_unsafe());
    }

    tfaJsonMembers members;
    std::string path;
};

void DecodeIdentity(MemberReader &in, tdFlow &flow)
{
    bool has_digest = in.Digest("digest", flow.digest);
    if (in.Digests("digest_prev", flow.digest_history) && !flow.digest_history.empty()) {
        if (!has_digest)
            flow.digest = flow.digest_history.back();
        else if (flow.digest_history.back() != flow.digest)
            throw tdException("%s: last entry differs from %s", in.PathOf("digest_prev").c_str(),
                              in.PathOf("digest").c_str());
    }
    in.Unsigned("first_seen_at", flow.ts_first_seen);
    in.Unsigned("last_seen_at", flow.ts_last_seen);
}

void DecodeHeader(MemberReader &in, tdFlow &flow)
{
    in.Bool("ip_nat", flow.ip_nat);
    in.Bool("dhc_hit", flow.dhc_hit);
    in.Bool("fhc_hit", flow.fhc_hit);
    in.Bool("soft_dissector", flow.soft_dissector);
    in.Bool("app_ip_override", flow.app_ip_override);
    in.Bool("app_proto_twins", flow.app_proto_twins);
    in.Bool("detection_guessed", flow.detection_guessed);
    in.Bool("detection_updated", flow.detection_updated);
    in.Unsigned("ip_version", flow.ip_version);
    in.Unsigned("ip_dscp", flow.ip_dscp);
    in.Unsigned("ip_protocol", flow.ip_protocol);
    in.Unsigned("vlan_id", flow.vlan_id);
    in.OtherType("other_type", FlowOtherTypes(), flow.other_type);

    // With the local endpoint lower, "local_origin" says whether the lower endpoint opened it.
    bool local_origin = true;
    if (in.Bool("local_origin", local_origin))
        flow.origin = local_origin ? tdFlow::ORIGIN_LOWER : tdFlow::ORIGIN_UPPER;
}

void DecodeEndpoints(MemberReader &in, tdFlow &flow)
{
    flow.lower_map = tdFlow::LOWER_MAP_LOCAL;
    in.Mac("local_mac", flow.lower_mac);
    in.Mac("other_mac", flow.upper_mac);
    in.IP("local_ip", flow.lower_addr);
    in.IP("other_ip", flow.upper_addr);
    in.Port("local_port", flow.lower_addr, "local_ip");
    in.Port("other_port", flow.upper_addr, "other_ip");
}

void DecodeDetection(MemberReader &in, tdFlow &flow)
{
    in.Unsigned("detected_protocol", flow.detected_protocol);
    in.Unsigned("detected_application", flow.detected_application);
    if (in.String("detected_protocol_name", flow.detected_protocol_name) &&
        flow.detected_protocol_name == UNKNOWN_NAME)
        flow.detected_protocol_name.clear();
    if (in.String("detected_application_name", flow.detected_application_name) &&
        flow.detected_application_name == UNKNOWN_NAME)
        flow.detected_application_name.clear();

    if (auto category = in.Group("category")) {
        category->Unsigned("application", flow.category.application);
        category->Unsigned("protocol", flow.category.protocol);
        category->Unsigned("domain", flow.category.domain);
        category->Unsigned("local_network", flow.category.lower_network);
        category->Unsigned("other_network", flow.category.upper_network);
        category->Unsigned("overlay", flow.category.overlay);
        category->Finish();
    }
}

void DecodeTLS(MemberReader &ssl, tdFlow &flow)
{
    ssl.Hex16("version", flow.tls_version);
    ssl.Hex16("cipher_suite", flow.tls_cipher_suite);
    ssl.Hex16("encrypted_ch_version", flow.tls_ech_version);
    ssl.String("server_cn", flow.tls_server_cn);
    ssl.String("issuer_dn", flow.tls_issuer_dn);
    ssl.String("subject_dn", flow.tls_subject_dn);
    ssl.String("client_ja4", flow.tls_client_ja4);
    ssl.HexBytes("fingerprint", flow.tls_cert_fingerprint);
    ssl.Strings("alpn", flow.tls_alpn);
    ssl.Strings("alpn_server", flow.tls_alpn_server);

    // The client SNI is the host server name; both members name the same field.
    std::string sni;
    if (ssl.String("client_sni", sni)) {
        if (!flow.host_server_name.empty() && flow.host_server_name != sni)
            throw tdException("%s: differs from flow.host_server_name",
                              ssl.PathOf("client_sni").c_str());
        flow.host_server_name = sni;
    }
    ssl.Finish();
}

// HTTP and SSDP share one user-agent field; which group it shows under follows the protocol.
void DecodeUserAgents(MemberReader &in, tdFlow &flow, bool tls)
{
    std::string http_agent, ssdp_agent;
    if (auto http = in.Group("http")) {
        http->String("user_agent", http_agent);
        http->String("url", flow.http_url);
        http->Finish();
    }
    if (auto ssdp = in.Group("ssdp")) {
        ssdp->String("user_agent", ssdp_agent);
        ssdp->Finish();
    }
    if (!http_agent.empty() && !ssdp_agent.empty())
        throw tdException("flow.http.user_agent: a flow has one user agent, and it is in "
                          "flow.ssdp.user_agent");
    if (!http_agent.empty() && flow.detected_protocol == tdFlow::PROTO_SSDP)
        throw tdException("flow.http.user_agent: an SSDP flow keeps it in flow.ssdp.user_agent");
    if (!ssdp_agent.empty() && flow.detected_protocol != tdFlow::PROTO_SSDP) {
        if (tls)
            throw tdException("flow.ssdp: cannot go with flow.ssl unless the detected protocol "
                              "is SSDP (12)");
        flow.master_protocol = tdFlow::PROTO_SSDP;
    }
    flow.user_agent = http_agent.empty() ? ssdp_agent : http_agent;
}

void DecodeDetails(MemberReader &in, tdFlow &flow)
{
    in.String("dns_host_name", flow.dns_host_name);
    in.String("host_server_name", flow.host_server_name);

    bool tls = false;
    if (auto ssl = in.Group("ssl")) {
        DecodeTLS(*ssl, flow);
        tls = true;
        if (flow.detected_protocol != PROTO_QUIC)
            flow.master_protocol = PROTO_TLS;
    }
    DecodeUserAgents(in, flow, tls);

    if (auto dhcp = in.Group("dhcp")) {
        dhcp->String("fingerprint", flow.dhcp_fingerprint);
        dhcp->String("class_ident", flow.dhcp_class_ident);
        dhcp->Finish();
    }
    if (auto ssh = in.Group("ssh")) {
        ssh->String("client", flow.ssh_client_agent);
        ssh->String("server", flow.ssh_server_agent);
        ssh->Finish();
    }
    if (auto bt = in.Group("bt")) {
        bt->HexBytes("info_hash", flow.bt_info_hash);
        bt->Finish();
    }
    if (auto mdns = in.Group("mdns")) {
        mdns->String("answer", flow.mdns_answer);
        mdns->Finish();
    }
    if (auto stun = in.Group("stun")) {
        stun->AddressWithPort("mapped", flow.stun_mapped);
        stun->AddressWithPort("peer", flow.stun_peer);
        stun->AddressWithPort("relayed", flow.stun_relayed);
        stun->AddressWithPort("response", flow.stun_response);
        stun->AddressWithPort("other", flow.stun_other);
        stun->Finish();
    }
}

void DecodeRisksAndTags(MemberReader &in, tdFlow &flow)
{
    if (auto risks = in.Group("risks")) {
        if (const element *list = risks->Find("risks")) {
            if (!list->is_array())
                risks->Fail("risks", "an array of risk numbers", *list);
            simdjson::dom::array items = list->get_array().value_unsafe();
            for (element risk : items) {
                if (!IsInteger(risk))
                    risks->Fail("risks", "an array of risk numbers", *list);
                if (!IsRiskId(risk))
                    risks->Fail("risks", "risk numbers from -2147483648 to 2147483647", risk);
                flow.risks.insert(static_cast<int32_t>(risk.get_int64().value_unsafe()));
            }
        }
        risks->Unsigned("ndpi_risk_score", flow.risk_score);
        risks->Unsigned("ndpi_risk_score_client", flow.risk_score_client);
        risks->Unsigned("ndpi_risk_score_server", flow.risk_score_server);
        risks->Finish();
    }
    std::vector<std::string> tags;
    if (in.Strings("tags", tags))
        flow.tags.insert(tags.begin(), tags.end());
}

void DecodeTunnel(MemberReader &in, tdFlow &flow)
{
    auto gtp = in.Group("gtp");
    if (!gtp)
        return;
    flow.tunnel_type = tdFlow::TUNNEL_GTP;
    flow.gtp.lower_map = tdFlow::LOWER_MAP_LOCAL;
    gtp->Unsigned("version", flow.gtp.version);
    gtp->Unsigned("ip_version", flow.gtp.ip_version);
    gtp->Unsigned("ip_dscp", flow.gtp.ip_dscp);
    gtp->IP("local_ip", flow.gtp.lower_addr);
    gtp->IP("other_ip", flow.gtp.upper_addr);
    gtp->Port("local_port", flow.gtp.lower_addr, "local_ip");
    gtp->Port("other_port", flow.gtp.upper_addr, "other_ip");
    uint32_t teid = 0;
    if (gtp->Unsigned("local_teid", teid))
        flow.gtp.lower_teid = htonl(teid);
    if (gtp->Unsigned("other_teid", teid))
        flow.gtp.upper_teid = htonl(teid);
    gtp->OtherType("other_type", GtpOtherTypes(), flow.gtp.other_type);
    gtp->Finish();
}

void DecodeStats(MemberReader &in, tdFlow &flow)
{
    tdFlowStats &stats = flow.stats;
    in.Unsigned("local_bytes", stats.lower_bytes);
    in.Unsigned("other_bytes", stats.upper_bytes);
    in.Unsigned("total_bytes", stats.total_bytes);
    in.Unsigned("total_local_bytes", stats.lower_total_bytes);
    in.Unsigned("total_other_bytes", stats.upper_total_bytes);
    in.Unsigned("local_packets", stats.lower_packets);
    in.Unsigned("other_packets", stats.upper_packets);
    in.Unsigned("total_packets", stats.total_packets);
    in.Unsigned("total_local_packets", stats.lower_total_packets);
    in.Unsigned("total_other_packets", stats.upper_total_packets);
    in.Unsigned("detection_packets", stats.detection_packets);
    in.Float("local_rate", stats.lower_rate);
    in.Float("other_rate", stats.upper_rate);
    if (auto tcp = in.Group("tcp")) {
        tcp->Unsigned("seq_errors", stats.tcp_seq_errors);
        tcp->Unsigned("resets", stats.tcp_resets);
        tcp->Unsigned("retrans", stats.tcp_retrans);
        tcp->Finish();
    }
}

void Mix(uint64_t &hash, const void *data, size_t size)
{
    constexpr uint64_t FNV_PRIME = 0x100000001b3ULL;
    const auto *bytes = static_cast<const uint8_t *>(data);
    for (size_t i = 0; i < size; i++) {
        hash ^= bytes[i];
        hash *= FNV_PRIME;
    }
}

void MixAddress(uint64_t &hash, const tdAddr &addr)
{
    uint16_t port = addr.GetPort(true);
    if (addr.IsIPv4())
        Mix(hash, &addr.addr.in.sin_addr, sizeof(addr.addr.in.sin_addr));
    else if (addr.IsIPv6())
        Mix(hash, &addr.addr.in6.sin6_addr, sizeof(addr.addr.in6.sin6_addr));
    Mix(hash, &port, sizeof(port));
}
} // namespace

void tfaFlowDecoder::Decode(const json &object, tdFlow &flow)
{
    simdjson::dom::parser parser;
    std::string text = object.dump();
    element value;
    if (auto error = parser.parse(text).get(value))
        throw tdException("flow: %s", simdjson::error_message(error));
    Decode(value, flow);
}

void tfaFlowDecoder::Decode(element object, tdFlow &flow)
{
    MemberReader in(object, "flow");
    DecodeIdentity(in, flow);
    DecodeHeader(in, flow);
    DecodeEndpoints(in, flow);
    DecodeDetection(in, flow);
    DecodeDetails(in, flow);
    DecodeRisksAndTags(in, flow);
    DecodeTunnel(in, flow);
    DecodeStats(in, flow);
    in.Finish();
}

uint64_t tfaFlowDecoder::TupleDigest(const tdFlow &flow)
{
    constexpr uint64_t FNV_OFFSET = 0xcbf29ce484222325ULL;
    uint64_t hash = FNV_OFFSET;
    Mix(hash, &flow.ip_protocol, sizeof(flow.ip_protocol));
    MixAddress(hash, flow.lower_addr);
    MixAddress(hash, flow.upper_addr);
    return hash == 0 ? FNV_OFFSET : hash;
}
