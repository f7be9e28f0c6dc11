#pragma once

#include <cstddef>
#include <cstdint>

// What a captured frame says about the flow it belongs to: its link, IP and transport headers,
// read with every length checked against the bytes captured.
struct tfaPacketHeaders {
    static constexpr size_t MAC_SIZE = 6;
    static constexpr size_t IP_SIZE = 16;

    bool has_macs = false;
    uint8_t src_mac[MAC_SIZE] = {};
    uint8_t dst_mac[MAC_SIZE] = {};
    // The innermost VLAN tag's identifier; 0 when the frame carries none.
    uint16_t vlan_id = 0;

    uint8_t ip_version = 0;
    uint8_t ip_dscp = 0;
    // The transport protocol, after any IPv6 extension headers.
    uint8_t ip_protocol = 0;
    // IPv4 addresses fill the first four bytes.
    uint8_t src_ip[IP_SIZE] = {};
    uint8_t dst_ip[IP_SIZE] = {};
    // Ports of TCP and UDP (and SCTP); 0 for other protocols.
    uint16_t src_port = 0;
    uint16_t dst_port = 0;
    uint8_t tcp_flags = 0;

    // The IP header and what follows it, as far as it was captured: what nDPI reads.
    const uint8_t *ip = nullptr;
    size_t ip_length = 0;
};

// Reads the headers of one frame of a capture's link type. Frames that are not IP (ARP, LLDP,
// spanning tree ...), IP fragments after the first (they carry no ports), and frames cut short
// inside a header are not flows: Parse returns false for them, never reading past `length`.
class tfaPacketParser
{
public:
    static constexpr uint8_t TCP_FIN = 0x01;
    static constexpr uint8_t TCP_SYN = 0x02;
    static constexpr uint8_t TCP_RST = 0x04;
    static constexpr uint8_t TCP_ACK = 0x10;

    // True for the link types Parse reads (pcap's DLT_ values): Ethernet, Linux cooked (v1 and
    // v2), raw IP, and BSD loopback.
    static bool IsSupported(int link_type);

    static bool Parse(int link_type, const uint8_t *frame, size_t length,
                      tfaPacketHeaders &headers);
};
