#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Builds small packet captures byte by byte in the classic pcap format (microsecond times,
// host byte order), with frames made from their headers up: enough to give a capture reader
// exactly the frames, and the faults, a test needs.
class PcapBuilder
{
public:
    using Bytes = std::vector<uint8_t>;

    static constexpr uint32_t LINK_ETHERNET = 1;
    static constexpr uint8_t TCP = 6;
    static constexpr uint8_t UDP = 17;
    static constexpr uint8_t FIN = 0x01;
    static constexpr uint8_t SYN = 0x02;
    static constexpr uint8_t RST = 0x04;
    static constexpr uint8_t ACK = 0x10;

    explicit PcapBuilder(uint32_t link_type = LINK_ETHERNET);

    // A record holding the whole frame, seen at `time_us` after the epoch.
    PcapBuilder &Add(uint64_t time_us, const Bytes &frame);
    // Cuts the capture after its first `size` bytes, as a copy broken off mid-write would be.
    PcapBuilder &Truncate(size_t size);
    const Bytes &Get() const { return bytes; }
    // Writes the capture to `path`; false when it cannot.
    bool Save(const std::string &path) const;

    // Ethernet from `src_mac` to `dst_mac` (last bytes of 02:00:00:00:00:xx), with the given
    // VLAN tags, outermost first.
    static Bytes Ethernet(uint8_t src_mac, uint8_t dst_mac, uint16_t ethertype,
                          const Bytes &payload, const std::vector<uint16_t> &vlans = {});
    // IPv4 or IPv6 by the addresses' form; the ethertype to carry it follows from the header.
    static Bytes IP(uint8_t protocol, const std::string &src, const std::string &dst,
                    const Bytes &payload);
    // An IPv6 datagram whose transport follows the given extension headers, each one
    // {header type, body}; bodies are padded to eight-byte units.
    static Bytes IPv6(uint8_t protocol, const std::string &src, const std::string &dst,
                      const std::vector<std::pair<uint8_t, Bytes>> &extensions,
                      const Bytes &payload);
    static Bytes Udp(uint16_t src_port, uint16_t dst_port, const Bytes &payload = {});
    static Bytes Tcp(uint16_t src_port, uint16_t dst_port, uint8_t flags,
                     const Bytes &payload = {});
    // An Ethernet frame around an IP datagram.
    static Bytes Frame(uint8_t src_mac, uint8_t dst_mac, const Bytes &ip,
                       const std::vector<uint16_t> &vlans = {});
    // An ARP request: an Ethernet frame that is not IP.
    static Bytes Arp(uint8_t src_mac);

private:
    Bytes bytes;
};
