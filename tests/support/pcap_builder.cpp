#include "support/pcap_builder.hpp"

#include <arpa/inet.h>
#include <cstring>
#include <fstream>

namespace
{
constexpr uint32_t PCAP_MAGIC = 0xa1b2c3d4;
constexpr uint16_t VERSION_MAJOR = 2;
constexpr uint16_t VERSION_MINOR = 4;
constexpr uint32_t SNAP_LENGTH = 65535;
constexpr uint64_t MICROSECONDS = 1000000;
constexpr uint16_t ETHERTYPE_IPV4 = 0x0800;
constexpr uint16_t ETHERTYPE_IPV6 = 0x86dd;
constexpr uint16_t ETHERTYPE_ARP = 0x0806;
constexpr uint16_t ETHERTYPE_VLAN = 0x8100;
constexpr size_t IPV6_UNIT = 8;
constexpr uint8_t TTL = 64;

using Bytes = PcapBuilder::Bytes;

template <class T> void Host(Bytes &out, T value)
{
    const auto *raw = reinterpret_cast<const uint8_t *>(&value);
    out.insert(out.end(), raw, raw + sizeof(value));
}

void Net16(Bytes &out, uint16_t value)
{
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

void Append(Bytes &out, const Bytes &more)
{
    out.insert(out.end(), more.begin(), more.end());
}

void Mac(Bytes &out, uint8_t last)
{
    Append(out, {0x02, 0, 0, 0, 0, last});
}

Bytes Address(int family, const std::string &text)
{
    Bytes address(family == AF_INET ? 4 : 16);
    inet_pton(family, text.c_str(), address.data());
    return address;
}
} // namespace

PcapBuilder::PcapBuilder(uint32_t link_type)
{
    Host(bytes, PCAP_MAGIC);
    Host(bytes, VERSION_MAJOR);
    Host(bytes, VERSION_MINOR);
    Host(bytes, int32_t{0});
    Host(bytes, uint32_t{0});
    Host(bytes, SNAP_LENGTH);
    Host(bytes, link_type);
}

PcapBuilder &PcapBuilder::Add(uint64_t time_us, const Bytes &frame)
{
    Host(bytes, static_cast<uint32_t>(time_us / MICROSECONDS));
    Host(bytes, static_cast<uint32_t>(time_us % MICROSECONDS));
    Host(bytes, static_cast<uint32_t>(frame.size()));
    Host(bytes, static_cast<uint32_t>(frame.size()));
    Append(bytes, frame);
    return *this;
}

PcapBuilder &PcapBuilder::Truncate(size_t size)
{
    bytes.resize(std::min(size, bytes.size()));
    return *this;
}

bool PcapBuilder::Save(const std::string &path) const
{
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char *>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(file);
}

Bytes PcapBuilder::Ethernet(uint8_t src_mac, uint8_t dst_mac, uint16_t ethertype,
                            const Bytes &payload, const std::vector<uint16_t> &vlans)
{
    Bytes frame;
    Mac(frame, dst_mac);
    Mac(frame, src_mac);
    for (uint16_t vlan : vlans) {
        Net16(frame, ETHERTYPE_VLAN);
        Net16(frame, vlan);
    }
    Net16(frame, ethertype);
    Append(frame, payload);
    return frame;
}

Bytes PcapBuilder::IP(uint8_t protocol, const std::string &src, const std::string &dst,
                      const Bytes &payload)
{
    if (src.find(':') != std::string::npos)
        return IPv6(protocol, src, dst, {}, payload);
    Bytes ip = {0x45, 0};
    Net16(ip, static_cast<uint16_t>(20 + payload.size()));
    Append(ip, {0, 0, 0, 0, TTL, protocol, 0, 0});
    Append(ip, Address(AF_INET, src));
    Append(ip, Address(AF_INET, dst));
    Append(ip, payload);
    return ip;
}

Bytes PcapBuilder::IPv6(uint8_t protocol, const std::string &src, const std::string &dst,
                        const std::vector<std::pair<uint8_t, Bytes>> &extensions,
                        const Bytes &payload)
{
    Bytes chain;
    for (size_t i = 0; i < extensions.size(); i++) {
        Bytes body = extensions[i].second;
        body.resize(((body.size() + 2 + IPV6_UNIT - 1) / IPV6_UNIT) * IPV6_UNIT - 2);
        chain.push_back(i + 1 < extensions.size() ? extensions[i + 1].first : protocol);
        chain.push_back(static_cast<uint8_t>((body.size() + 2) / IPV6_UNIT - 1));
        Append(chain, body);
    }
    Bytes ip = {0x60, 0, 0, 0};
    Net16(ip, static_cast<uint16_t>(chain.size() + payload.size()));
    ip.push_back(extensions.empty() ? protocol : extensions.front().first);
    ip.push_back(TTL);
    Append(ip, Address(AF_INET6, src));
    Append(ip, Address(AF_INET6, dst));
    Append(ip, chain);
    Append(ip, payload);
    return ip;
}

Bytes PcapBuilder::Udp(uint16_t src_port, uint16_t dst_port, const Bytes &payload)
{
    Bytes udp;
    Net16(udp, src_port);
    Net16(udp, dst_port);
    Net16(udp, static_cast<uint16_t>(8 + payload.size()));
    Net16(udp, 0);
    Append(udp, payload);
    return udp;
}

Bytes PcapBuilder::Tcp(uint16_t src_port, uint16_t dst_port, uint8_t flags, const Bytes &payload)
{
    Bytes tcp;
    Net16(tcp, src_port);
    Net16(tcp, dst_port);
    Append(tcp, {0, 0, 0, 1, 0, 0, 0, 0, 0x50, flags});
    Net16(tcp, 0xffff);
    Append(tcp, {0, 0, 0, 0});
    Append(tcp, payload);
    return tcp;
}

Bytes PcapBuilder::Frame(uint8_t src_mac, uint8_t dst_mac, const Bytes &ip,
                         const std::vector<uint16_t> &vlans)
{
    uint16_t ethertype = (ip.at(0) >> 4) == 6 ? ETHERTYPE_IPV6 : ETHERTYPE_IPV4;
    return Ethernet(src_mac, dst_mac, ethertype, ip, vlans);
}

Bytes PcapBuilder::Arp(uint8_t src_mac)
{
    Bytes arp = {0, 1, 0x08, 0, 6, 4, 0, 1};
    Mac(arp, src_mac);
    Append(arp, {192, 0, 2, 1, 0, 0, 0, 0, 0, 0, 192, 0, 2, 2});
    return Ethernet(src_mac, 0xff, ETHERTYPE_ARP, arp);
}
