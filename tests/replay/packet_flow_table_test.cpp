// How packets become flows and events: keys, idle and closed endings, and which endpoint is
// lower and local.
#include "support/pcap_builder.hpp"
#include "tools/replay/packet_flow_table.hpp"

#include <gtest/gtest.h>
#include <map>
#include <pcap/dlt.h>

namespace
{
using B = PcapBuilder;

constexpr uint64_t SECOND = 1000000;
constexpr uint64_t IDLE = 60 * SECOND;

struct Packet {
    uint64_t time_us;
    B::Bytes frame;
};

B::Bytes Tcp(const char *src, uint16_t sport, const char *dst, uint16_t dport, uint8_t flags)
{
    return B::Frame(1, 2, B::IP(B::TCP, src, dst, B::Tcp(sport, dport, flags)));
}

B::Bytes Udp(const char *src, uint16_t sport, const char *dst, uint16_t dport,
             const std::vector<uint16_t> &vlans = {})
{
    return B::Frame(1, 2, B::IP(B::UDP, src, dst, B::Udp(sport, dport)), vlans);
}

class PacketFlowTable : public ::testing::Test
{
protected:
    // Feeds the packets and then ends the capture; returns every event.
    std::vector<tfaReplayEvent> Run(const std::vector<Packet> &packets,
                                    const std::vector<std::string> &networks = {})
    {
        auto local = tfaLocalNetworks::Create(networks);
        tfaPacketFlowTable::Options options;
        options.idle_us = IDLE;
        options.iface_name = "cap0";
        options.iface_role = tdFlow::ROLE_LAN;
        tfaPacketFlowTable table(*classifier, *local, nullptr, options);
        std::deque<tfaReplayEvent> events;
        uint64_t number = 0;
        for (const auto &packet : packets) {
            tfaPacketHeaders headers;
            EXPECT_TRUE(tfaPacketParser::Parse(DLT_EN10MB, packet.frame.data(), packet.frame.size(),
                                               headers));
            table.Add(++number, packet.time_us, packet.frame.size(), headers, events);
        }
        table.Finish(events);
        EXPECT_EQ(table.GetLiveFlows(), 0u);
        return {events.begin(), events.end()};
    }

    // The events as "new#1 complete#1 closed#1 ..." (#n numbers the flows as they appear).
    static std::string Story(const std::vector<tfaReplayEvent> &events)
    {
        std::map<uint64_t, size_t> numbers;
        std::string story;
        for (const auto &event : events) {
            size_t number = numbers.emplace(event.digest, numbers.size() + 1).first->second;
            std::string what = event.event == tdPluginProcessor::EVENT_DPI_NEW        ? "new"
                               : event.event == tdPluginProcessor::EVENT_DPI_COMPLETE ? "complete"
                               : event.flow->tcp_closed                               ? "closed"
                                                                                      : "expired";
            story += (story.empty() ? "" : " ") + what + "#" + std::to_string(number);
        }
        return story;
    }

    std::unique_ptr<tfaNdpiClassifier> classifier = tfaNdpiClassifier::Create();
};

TEST_F(PacketFlowTable, FlowsBeginAndEnd)
{
    const char *a = "192.168.1.10";
    const char *b = "198.51.100.7";
    struct Row {
        const char *name;
        std::vector<Packet> packets;
        const char *story;
    };
    const Row rows[] = {
        {"both directions are one flow",
         {{0, Udp(a, 5000, b, 53)}, {1, Udp(b, 53, a, 5000)}},
         "new#1 complete#1 expired#1"},
        {"idle past the idle time",
         {{0, Udp(a, 5000, b, 53)},
          {30 * SECOND, Udp(a, 5000, b, 53)},
          {100 * SECOND, Udp(a, 5000, b, 53)}},
         "new#1 complete#1 expired#1 new#2 complete#2 expired#2"},
        {"FIN both ways closes; the last ACK still belongs",
         {{0, Tcp(a, 40000, b, 80, B::SYN)},
          {1, Tcp(b, 80, a, 40000, B::SYN | B::ACK)},
          {2, Tcp(a, 40000, b, 80, B::FIN | B::ACK)},
          {3, Tcp(b, 80, a, 40000, B::FIN | B::ACK)},
          {4, Tcp(a, 40000, b, 80, B::ACK)},
          {2 * SECOND, Udp(a, 5000, b, 53)}},
         "new#1 complete#1 closed#1 new#2 complete#2 expired#2"},
        {"a RST closes",
         {{0, Tcp(a, 40000, b, 80, B::SYN)}, {1, Tcp(b, 80, a, 40000, B::RST | B::ACK)}},
         "new#1 complete#1 closed#1"},
        {"a SYN on a closed flow's ports opens another",
         {{0, Tcp(a, 40000, b, 80, B::SYN)},
          {1, Tcp(b, 80, a, 40000, B::RST)},
          {2, Tcp(a, 40000, b, 80, B::SYN)}},
         "new#1 complete#1 closed#1 new#2 complete#2 expired#2"},
        {"VLANs keep flows apart",
         {{0, Udp(a, 5000, b, 53, {10})}, {1, Udp(a, 5000, b, 53, {20})}},
         "new#1 new#2 complete#1 expired#1 complete#2 expired#2"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(Story(Run(row.packets)), row.story);
    }
}

TEST_F(PacketFlowTable, CountsEachDirection)
{
    auto events = Run({{0, Tcp("198.51.100.7", 443, "192.168.1.10", 40000, B::SYN | B::ACK)},
                       {1, Tcp("192.168.1.10", 40000, "198.51.100.7", 443, B::ACK)},
                       {2, Tcp("198.51.100.7", 443, "192.168.1.10", 40000, B::ACK)},
                       {3, Tcp("198.51.100.7", 443, "192.168.1.10", 40000, B::RST)}});
    const tdFlow &first = *events.front().flow;
    const tdFlow &last = *events.back().flow;
    // The capture began with the server's answer: the client still opened the connection.
    EXPECT_EQ(first.origin, tdFlow::ORIGIN_LOWER);
    EXPECT_EQ(last.stats.lower_total_packets, 1u);
    EXPECT_EQ(last.stats.upper_total_packets, 3u);
    EXPECT_EQ(last.stats.total_bytes, 4u * 54u);
    EXPECT_EQ(last.stats.tcp_resets, 1u);
    // Interval counters count since the flow's previous event: together, every packet once.
    uint32_t upper = 0;
    for (const auto &event : events)
        upper += event.flow->stats.upper_packets;
    EXPECT_EQ(upper, 3u);
    EXPECT_EQ(first.stats.upper_packets, 1u);
    EXPECT_EQ(last.lower_mac.GetString(), "02:00:00:00:00:02");
    EXPECT_EQ(last.upper_mac.GetString(), "02:00:00:00:00:01");
    EXPECT_EQ(last.iface_name, "cap0");
}

TEST_F(PacketFlowTable, OrdersEndpointsAndFindsTheLocalOne)
{
    struct Row {
        const char *name;
        B::Bytes frame;
        std::vector<std::string> networks;
        const char *lower;
        uint8_t lower_map;
        uint8_t other_type;
        uint8_t origin;
    };
    const Row rows[] = {
        {"local client, remote server",
         Udp("192.168.1.10", 5000, "198.51.100.7", 53),
         {},
         "192.168.1.10",
         tdFlow::LOWER_MAP_LOCAL,
         tdFlow::OTHER_REMOTE,
         tdFlow::ORIGIN_LOWER},
        {"the remote side speaks first",
         Udp("198.51.100.7", 53, "192.168.1.10", 5000),
         {},
         "192.168.1.10",
         tdFlow::LOWER_MAP_LOCAL,
         tdFlow::OTHER_REMOTE,
         tdFlow::ORIGIN_UPPER},
        {"the local side is upper",
         Udp("203.0.113.5", 5000, "198.51.100.7", 53),
         {"203.0.113.0/24"},
         "198.51.100.7",
         tdFlow::LOWER_MAP_OTHER,
         tdFlow::OTHER_REMOTE,
         tdFlow::ORIGIN_UPPER},
        {"both local",
         Udp("10.0.0.2", 5000, "10.0.0.1", 53),
         {},
         "10.0.0.1",
         tdFlow::LOWER_MAP_LOCAL,
         tdFlow::OTHER_LOCAL,
         tdFlow::ORIGIN_UPPER},
        {"neither local",
         Udp("198.51.100.1", 5000, "198.51.100.2", 53),
         {},
         "198.51.100.1",
         tdFlow::LOWER_MAP_LOCAL,
         tdFlow::OTHER_UNKNOWN,
         tdFlow::ORIGIN_LOWER},
        {"multicast",
         Udp("192.168.1.10", 5353, "224.0.0.251", 5353),
         {},
         "192.168.1.10",
         tdFlow::LOWER_MAP_LOCAL,
         tdFlow::OTHER_MULTICAST,
         tdFlow::ORIGIN_LOWER},
        {"broadcast",
         Udp("192.168.1.10", 68, "255.255.255.255", 67),
         {},
         "192.168.1.10",
         tdFlow::LOWER_MAP_LOCAL,
         tdFlow::OTHER_BROADCAST,
         tdFlow::ORIGIN_LOWER},
        {"IPv6 unique local",
         Udp("2001:db8::7", 443, "fd00::10", 50000),
         {},
         "2001:db8::7",
         tdFlow::LOWER_MAP_OTHER,
         tdFlow::OTHER_REMOTE,
         tdFlow::ORIGIN_LOWER},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        auto events = Run({{0, row.frame}}, row.networks);
        ASSERT_FALSE(events.empty());
        const tdFlow &flow = *events.front().flow;
        EXPECT_EQ(flow.lower_addr.GetString(), row.lower);
        EXPECT_EQ(flow.lower_map, row.lower_map);
        EXPECT_EQ(flow.other_type, row.other_type);
        EXPECT_EQ(flow.origin, row.origin);
    }
}
// Flows leave the table when they expire, so a long capture holds only the flows live at once.
TEST_F(PacketFlowTable, HoldsOnlyTheLiveFlows)
{
    auto local = tfaLocalNetworks::Create({});
    tfaPacketFlowTable::Options options;
    options.idle_us = 5 * SECOND;
    tfaPacketFlowTable table(*classifier, *local, nullptr, options);
    std::deque<tfaReplayEvent> events;
    constexpr uint16_t FLOWS = 300;
    for (uint16_t port = 0; port < FLOWS; port++) {
        B::Bytes frame =
            Udp("192.168.1.10", static_cast<uint16_t>(10000 + port), "198.51.100.7", 53);
        tfaPacketHeaders headers;
        ASSERT_TRUE(tfaPacketParser::Parse(DLT_EN10MB, frame.data(), frame.size(), headers));
        table.Add(port + 1u, port * SECOND, frame.size(), headers, events);
        events.clear();
    }
    EXPECT_EQ(table.GetFlows(), FLOWS);
    // A flow idle for five seconds is gone: the flows of the last five seconds, this one among
    // them.
    EXPECT_EQ(table.GetMostLiveFlows(), 5u);
    EXPECT_EQ(table.GetLiveFlows(), 5u);
}
} // namespace
