#include "tools/replay/packet_parser.hpp"

#include <algorithm>
#include <cstring>
#include <pcap/dlt.h>

namespace
{
constexpr uint16_t ETHERTYPE_IPV4 = 0x0800;
constexpr uint16_t ETHERTYPE_IPV6 = 0x86dd;
constexpr uint16_t ETHERTYPE_VLAN = 0x8100;
constexpr uint16_t ETHERTYPE_QINQ = 0x88a8;
constexpr uint16_t ETHERTYPE_QINQ_OLD = 0x9100;
constexpr uint16_t VLAN_ID_MASK = 0x0fff;

constexpr size_t ETHERNET_HEADER = 14;
constexpr size_t VLAN_TAG = 4;
constexpr size_t SLL_HEADER = 16;
constexpr size_t SLL_PROTOCOL = 14;
constexpr size_t SLL2_HEADER = 20;
constexpr size_t LOOPBACK_HEADER = 4;

constexpr size_t IPV4_MIN_HEADER = 20;
constexpr size_t IPV6_HEADER = 40;
constexpr uint16_t IPV4_OFFSET_MASK = 0x1fff;
constexpr size_t IPV4_ADDRESS = 4;

constexpr uint8_t IPPROTO_HOPOPTS_ = 0;
constexpr uint8_t IPPROTO_TCP_ = 6;
constexpr uint8_t IPPROTO_UDP_ = 17;
constexpr uint8_t IPPROTO_ROUTING_ = 43;
constexpr uint8_t IPPROTO_FRAGMENT_ = 44;
constexpr uint8_t IPPROTO_AH_ = 51;
constexpr uint8_t IPPROTO_DSTOPTS_ = 60;
constexpr uint8_t IPPROTO_MH_ = 135;
constexpr uint8_t IPPROTO_SCTP_ = 132;
constexpr size_t IPV6_FRAGMENT_HEADER = 8;
constexpr uint16_t IPV6_OFFSET_MASK = 0xfff8;

constexpr size_t TCP_MIN_HEADER = 20;
constexpr size_t UDP_HEADER = 8;
constexpr size_t SCTP_COMMON_HEADER = 12;
constexpr size_t TCP_FLAGS_OFFSET = 13;

uint16_t Read16(const uint8_t *at)
{
    return static_cast<uint16_t>(at[0] << 8 | at[1]);
}

// The IP datagram: the version nibble decides. Lengths are those captured; the header's own
// lengths may only shorten them.
bool ParseIP(const uint8_t *data, size_t length, tfaPacketHeaders &headers);

bool ParseEthertype(uint16_t type, const uint8_t *data, size_t length, tfaPacketHeaders &headers)
{
    while (type == ETHERTYPE_VLAN || type == ETHERTYPE_QINQ || type == ETHERTYPE_QINQ_OLD) {
        if (length < VLAN_TAG)
            return false;
        headers.vlan_id = Read16(data) & VLAN_ID_MASK;
        type = Read16(data + 2);
        data += VLAN_TAG;
        length -= VLAN_TAG;
    }
    if (type != ETHERTYPE_IPV4 && type != ETHERTYPE_IPV6)
        return false;
    return ParseIP(data, length, headers);
}

bool ParseEthernet(const uint8_t *frame, size_t length, tfaPacketHeaders &headers)
{
    if (length < ETHERNET_HEADER)
        return false;
    memcpy(headers.dst_mac, frame, tfaPacketHeaders::MAC_SIZE);
    memcpy(headers.src_mac, frame + tfaPacketHeaders::MAC_SIZE, tfaPacketHeaders::MAC_SIZE);
    headers.has_macs = true;
    return ParseEthertype(Read16(frame + 12), frame + ETHERNET_HEADER, length - ETHERNET_HEADER,
                          headers);
}

// Linux cooked headers carry the sender's link address only; the flow gets no MACs from them.
bool ParseCooked(const uint8_t *frame, size_t length, size_t header, size_t protocol_at,
                 tfaPacketHeaders &headers)
{
    if (length < header)
        return false;
    return ParseEthertype(Read16(frame + protocol_at), frame + header, length - header, headers);
}

bool ParseTransport(const uint8_t *data, size_t length, tfaPacketHeaders &headers)
{
    switch (headers.ip_protocol) {
    case IPPROTO_TCP_:
        if (length < TCP_MIN_HEADER)
            return false;
        headers.tcp_flags = data[TCP_FLAGS_OFFSET];
        break;
    case IPPROTO_UDP_:
        if (length < UDP_HEADER)
            return false;
        break;
    case IPPROTO_SCTP_:
        if (length < SCTP_COMMON_HEADER)
            return false;
        break;
    default:
        return true;
    }
    headers.src_port = Read16(data);
    headers.dst_port = Read16(data + 2);
    return true;
}

bool ParseIPv4(const uint8_t *data, size_t length, tfaPacketHeaders &headers)
{
    if (length < IPV4_MIN_HEADER)
        return false;
    size_t header = static_cast<size_t>(data[0] & 0x0f) * 4;
    size_t total = Read16(data + 2);
    if (header < IPV4_MIN_HEADER || total < header || length < header)
        return false;
    if ((Read16(data + 6) & IPV4_OFFSET_MASK) != 0)
        return false;
    headers.ip_version = 4;
    headers.ip_dscp = data[1] >> 2;
    headers.ip_protocol = data[9];
    memcpy(headers.src_ip, data + 12, IPV4_ADDRESS);
    memcpy(headers.dst_ip, data + 16, IPV4_ADDRESS);
    headers.ip = data;
    headers.ip_length = std::min(length, total);
    return ParseTransport(data + header, headers.ip_length - header, headers);
}

bool IsExtensionHeader(uint8_t next)
{
    return next == IPPROTO_HOPOPTS_ || next == IPPROTO_ROUTING_ || next == IPPROTO_DSTOPTS_ ||
           next == IPPROTO_MH_ || next == IPPROTO_FRAGMENT_ || next == IPPROTO_AH_;
}

// Walks the extension header chain to the transport header. Every header is at least eight
// bytes long, so the walk ends within the datagram's length.
bool ParseIPv6(const uint8_t *data, size_t length, tfaPacketHeaders &headers)
{
    if (length < IPV6_HEADER)
        return false;
    headers.ip_version = 6;
    headers.ip_dscp = static_cast<uint8_t>((Read16(data) >> 6) & 0x3f);
    memcpy(headers.src_ip, data + 8, tfaPacketHeaders::IP_SIZE);
    memcpy(headers.dst_ip, data + 24, tfaPacketHeaders::IP_SIZE);
    headers.ip = data;
    headers.ip_length = std::min(length, IPV6_HEADER + Read16(data + 4));

    uint8_t next = data[6];
    size_t offset = IPV6_HEADER;
    while (IsExtensionHeader(next)) {
        if (headers.ip_length - offset < IPV6_FRAGMENT_HEADER)
            return false;
        const uint8_t *extension = data + offset;
        size_t size;
        if (next == IPPROTO_FRAGMENT_) {
            if ((Read16(extension + 2) & IPV6_OFFSET_MASK) != 0)
                return false;
            size = IPV6_FRAGMENT_HEADER;
        } else if (next == IPPROTO_AH_) {
            size = (static_cast<size_t>(extension[1]) + 2) * 4;
        } else {
            size = (static_cast<size_t>(extension[1]) + 1) * 8;
        }
        if (headers.ip_length - offset < size)
            return false;
        next = extension[0];
        offset += size;
    }
    headers.ip_protocol = next;
    return ParseTransport(data + offset, headers.ip_length - offset, headers);
}

bool ParseIP(const uint8_t *data, size_t length, tfaPacketHeaders &headers)
{
    if (length == 0)
        return false;
    switch (data[0] >> 4) {
    case 4:
        return ParseIPv4(data, length, headers);
    case 6:
        return ParseIPv6(data, length, headers);
    default:
        return false;
    }
}
} // namespace

bool tfaPacketParser::IsSupported(int link_type)
{
    switch (link_type) {
    case DLT_EN10MB:
    case DLT_LINUX_SLL:
    case DLT_LINUX_SLL2:
    case DLT_RAW:
    case DLT_IPV4:
    case DLT_IPV6:
    case DLT_NULL:
    case DLT_LOOP:
        return true;
    default:
        return false;
    }
}

bool tfaPacketParser::Parse(int link_type, const uint8_t *frame, size_t length,
                            tfaPacketHeaders &headers)
{
    headers = tfaPacketHeaders();
    switch (link_type) {
    case DLT_EN10MB:
        return ParseEthernet(frame, length, headers);
    case DLT_LINUX_SLL:
        return ParseCooked(frame, length, SLL_HEADER, SLL_PROTOCOL, headers);
    case DLT_LINUX_SLL2:
        return ParseCooked(frame, length, SLL2_HEADER, 0, headers);
    case DLT_RAW:
    case DLT_IPV4:
    case DLT_IPV6:
        return ParseIP(frame, length, headers);
    case DLT_NULL:
    case DLT_LOOP:
        return length >= LOOPBACK_HEADER &&
               ParseIP(frame + LOOPBACK_HEADER, length - LOOPBACK_HEADER, headers);
    default:
        return false;
    }
}
