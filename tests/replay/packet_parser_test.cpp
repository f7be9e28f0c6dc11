// Frames as a capture holds them, good and bad: what the parser takes from each, and that it
// never reads past the bytes captured.
#include "support/pcap_builder.hpp"
#include "tools/replay/packet_parser.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <pcap/dlt.h>

namespace
{
using B = PcapBuilder;
using Bytes = B::Bytes;

constexpr uint8_t HOP_BY_HOP = 0;
constexpr uint8_t DESTINATION_OPTIONS = 60;
constexpr uint8_t FRAGMENT = 44;
constexpr uint8_t ICMPV6 = 58;

std::string Text(uint8_t version, const uint8_t *ip)
{
    char text[INET6_ADDRSTRLEN];
    inet_ntop(version == 4 ? AF_INET : AF_INET6, ip, text, sizeof(text));
    return text;
}

Bytes LinuxCooked(const Bytes &ip)
{
    Bytes frame = {0, 0, 0, 1, 0, 6, 2, 0, 0, 0, 0, 1, 0, 0, 0x08, 0x00};
    frame.insert(frame.end(), ip.begin(), ip.end());
    return frame;
}

// A fragment header with the given offset, in eight-byte units.
Bytes Fragment(uint16_t offset)
{
    return {static_cast<uint8_t>(offset >> 5), static_cast<uint8_t>(offset << 3), 0, 0, 0, 1};
}

TEST(PacketParser, ReadsTheHeadersOfIPFrames)
{
    struct Row {
        const char *name;
        int link_type;
        Bytes frame;
        uint8_t version, protocol;
        const char *src, *dst;
        uint16_t src_port, dst_port, vlan;
        uint8_t tcp_flags;
        bool macs;
    };
    const Row rows[] = {
        {"Ethernet, IPv4, TCP", DLT_EN10MB,
         B::Frame(1, 2, B::IP(B::TCP, "192.0.2.1", "198.51.100.2", B::Tcp(40000, 443, B::SYN))), 4,
         B::TCP, "192.0.2.1", "198.51.100.2", 40000, 443, 0, B::SYN, true},
        {"two VLAN tags: the inner one counts", DLT_EN10MB,
         B::Frame(1, 2, B::IP(B::UDP, "192.0.2.1", "192.0.2.53", B::Udp(5353, 53)), {100, 10}), 4,
         B::UDP, "192.0.2.1", "192.0.2.53", 5353, 53, 10, 0, true},
        {"IPv6 through hop-by-hop and destination options", DLT_EN10MB,
         B::Frame(1, 2,
                  B::IPv6(B::UDP, "2001:db8::1", "2001:db8::2",
                          {{HOP_BY_HOP, {1, 0, 0, 0}}, {DESTINATION_OPTIONS, Bytes(12, 1)}},
                          B::Udp(546, 547))),
         6, B::UDP, "2001:db8::1", "2001:db8::2", 546, 547, 0, 0, true},
        {"IPv6 first fragment", DLT_EN10MB,
         B::Frame(1, 2,
                  B::IPv6(B::UDP, "2001:db8::1", "2001:db8::2", {{FRAGMENT, Fragment(0)}},
                          B::Udp(1000, 2000))),
         6, B::UDP, "2001:db8::1", "2001:db8::2", 1000, 2000, 0, 0, true},
        {"ICMPv6 has no ports", DLT_EN10MB,
         B::Frame(1, 2, B::IP(ICMPV6, "fe80::1", "ff02::16", {143, 0, 0, 0})), 6, ICMPV6, "fe80::1",
         "ff02::16", 0, 0, 0, 0, true},
        {"raw IP", DLT_RAW, B::IP(B::TCP, "10.0.0.1", "10.0.0.2", B::Tcp(22, 50000, B::ACK)), 4,
         B::TCP, "10.0.0.1", "10.0.0.2", 22, 50000, 0, B::ACK, false},
        {"Linux cooked", DLT_LINUX_SLL,
         LinuxCooked(B::IP(B::UDP, "10.0.0.1", "10.0.0.2", B::Udp(123, 123))), 4, B::UDP,
         "10.0.0.1", "10.0.0.2", 123, 123, 0, 0, false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        tfaPacketHeaders headers;
        ASSERT_TRUE(
            tfaPacketParser::Parse(row.link_type, row.frame.data(), row.frame.size(), headers));
        EXPECT_EQ(headers.ip_version, row.version);
        EXPECT_EQ(headers.ip_protocol, row.protocol);
        EXPECT_EQ(Text(row.version, headers.src_ip), row.src);
        EXPECT_EQ(Text(row.version, headers.dst_ip), row.dst);
        EXPECT_EQ(headers.src_port, row.src_port);
        EXPECT_EQ(headers.dst_port, row.dst_port);
        EXPECT_EQ(headers.vlan_id, row.vlan);
        EXPECT_EQ(headers.tcp_flags, row.tcp_flags);
        EXPECT_EQ(headers.has_macs, row.macs);
        // nDPI is given the datagram from its IP header on.
        EXPECT_EQ(headers.ip[0] >> 4, row.version);
        EXPECT_EQ(headers.ip + headers.ip_length, row.frame.data() + row.frame.size());
    }
}

TEST(PacketParser, PassesOverFramesThatAreNoFlow)
{
    Bytes later_fragment = B::IP(B::UDP, "192.0.2.1", "192.0.2.2", B::Udp(1, 2));
    later_fragment[7] = 0x10; // fragment offset 16
    Bytes short_header = B::IP(B::TCP, "192.0.2.1", "192.0.2.2", B::Tcp(1, 2, B::SYN));
    short_header[0] = 0x44; // a header length of 16 bytes
    Bytes long_extension =
        B::IPv6(B::UDP, "2001:db8::1", "2001:db8::2", {{HOP_BY_HOP, {}}}, B::Udp(1, 2));
    long_extension[41] = 200; // an extension longer than the datagram

    struct Row {
        const char *name;
        int link_type;
        Bytes frame;
    };
    const Row rows[] = {
        {"ARP", DLT_EN10MB, B::Arp(1)},
        {"IPv4 fragment after the first", DLT_EN10MB, B::Frame(1, 2, later_fragment)},
        {"IPv6 fragment after the first", DLT_EN10MB,
         B::Frame(1, 2,
                  B::IPv6(B::UDP, "2001:db8::1", "2001:db8::2", {{FRAGMENT, Fragment(185)}},
                          B::Udp(1, 2)))},
        {"IPv4 header length below 20", DLT_EN10MB, B::Frame(1, 2, short_header)},
        {"IPv6 extension past the end", DLT_EN10MB, B::Frame(1, 2, long_extension)},
        {"IP version 5", DLT_RAW, {0x50, 0, 0, 20}},
        {"a link type not read", DLT_IEEE802_11, B::Frame(1, 2, later_fragment)},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        tfaPacketHeaders headers;
        EXPECT_FALSE(
            tfaPacketParser::Parse(row.link_type, row.frame.data(), row.frame.size(), headers));
    }
}

// Every frame cut short inside its headers is refused; the bytes after the cut live in a
// separate buffer, so a read past the cut would be caught by the sanitizer builds.
TEST(PacketParser, CutsInsideHeadersAreRefused)
{
    const Bytes frames[] = {
        B::Frame(1, 2, B::IP(B::TCP, "192.0.2.1", "198.51.100.2", B::Tcp(40000, 443, B::SYN)), {7}),
        B::Frame(1, 2,
                 B::IPv6(B::UDP, "2001:db8::1", "2001:db8::2",
                         {{HOP_BY_HOP, {}}, {DESTINATION_OPTIONS, Bytes(20, 0)}},
                         B::Udp(546, 547))),
    };
    for (const auto &frame : frames) {
        for (size_t cut = 0; cut < frame.size(); cut++) {
            SCOPED_TRACE(cut);
            Bytes head(frame.begin(), frame.begin() + static_cast<long>(cut));
            tfaPacketHeaders headers;
            EXPECT_FALSE(tfaPacketParser::Parse(DLT_EN10MB, head.data(), head.size(), headers));
        }
    }
}
} // namespace
