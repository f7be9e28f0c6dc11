#include "tools/replay/packet_flow_table.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <netinet/in.h>

namespace
{
constexpr uint8_t IPPROTO_TCP_ = 6;
constexpr uint64_t MICROSECONDS_PER_MILLISECOND = 1000;
constexpr uint64_t FNV_OFFSET = 0xcbf29ce484222325ULL;
constexpr uint64_t FNV_PRIME = 0x100000001b3ULL;
constexpr size_t IPV4_SIZE = 4;
constexpr uint8_t IPV4_MULTICAST_TOP = 0xe0;
constexpr uint8_t IPV4_MULTICAST_MASK = 0xf0;
constexpr uint8_t IPV6_MULTICAST = 0xff;
constexpr size_t MAC_TEXT_SIZE = 18;

enum Side { LOWER = 0, UPPER = 1, SIDES = 2 };

template <class T> void Mix(uint64_t &hash, const T &value)
{
    const auto *bytes = reinterpret_cast<const uint8_t *>(&value);
    for (size_t i = 0; i < sizeof(value); i++) {
        hash ^= bytes[i];
        hash *= FNV_PRIME;
    }
}

uint64_t Hash(const tfaPacketFlowTable::Key &key)
{
    uint64_t hash = FNV_OFFSET;
    Mix(hash, key.vlan_id);
    Mix(hash, key.ip_version);
    Mix(hash, key.ip_protocol);
    Mix(hash, key.lower_ip);
    Mix(hash, key.upper_ip);
    Mix(hash, key.lower_port);
    Mix(hash, key.upper_port);
    return hash;
}

// The other type an address gives a flow by itself: multicast, broadcast, or unknown (0).
uint8_t CastType(uint8_t ip_version, const std::array<uint8_t, tfaPacketHeaders::IP_SIZE> &ip)
{
    if (ip_version == 6)
        return ip[0] == IPV6_MULTICAST ? tdFlow::OTHER_MULTICAST : tdFlow::OTHER_UNKNOWN;
    if ((ip[0] & IPV4_MULTICAST_MASK) == IPV4_MULTICAST_TOP)
        return tdFlow::OTHER_MULTICAST;
    bool broadcast =
        std::all_of(ip.begin(), ip.begin() + IPV4_SIZE, [](uint8_t byte) { return byte == 0xff; });
    return broadcast ? tdFlow::OTHER_BROADCAST : tdFlow::OTHER_UNKNOWN;
}

void SetAddress(tdAddr &addr, uint8_t ip_version,
                const std::array<uint8_t, tfaPacketHeaders::IP_SIZE> &ip, uint16_t port)
{
    if (ip_version == 4) {
        in_addr in;
        memcpy(&in, ip.data(), sizeof(in));
        tdAddr::CreateIPv4(addr, in, port);
    } else {
        in6_addr in6;
        memcpy(&in6, ip.data(), sizeof(in6));
        tdAddr::CreateIPv6(addr, in6, port);
    }
}

void SetMac(tdAddr &addr, const uint8_t *mac)
{
    char text[MAC_TEXT_SIZE];
    snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
             mac[4], mac[5]);
    tdAddr::Create(addr, text);
}

uint32_t Narrow(uint64_t count)
{
    return static_cast<uint32_t>(std::min<uint64_t>(count, std::numeric_limits<uint32_t>::max()));
}

// A SYN without ACK opens a connection; one that meets a closed flow reuses its ports.
bool OpensConnection(const tfaPacketHeaders &headers)
{
    return headers.ip_protocol == IPPROTO_TCP_ &&
           (headers.tcp_flags & (tfaPacketParser::TCP_SYN | tfaPacketParser::TCP_ACK)) ==
               tfaPacketParser::TCP_SYN;
}
} // namespace

struct tfaPacketFlowTable::Entry {
    Key key;
    uint64_t digest = 0;
    uint64_t first_us = 0;
    uint64_t last_us = 0;
    uint64_t last_number = 0;
    uint8_t ip_dscp = 0;
    uint8_t origin = tdFlow::ORIGIN_UNKNOWN;
    bool has_mac[SIDES] = {};
    uint8_t mac[SIDES][tfaPacketHeaders::MAC_SIZE] = {};
    uint64_t bytes[SIDES] = {};
    uint64_t packets[SIDES] = {};
    // The counters as the last event reported them.
    uint64_t reported_bytes[SIDES] = {};
    uint64_t reported_packets[SIDES] = {};
    uint32_t resets = 0;
    bool fin[SIDES] = {};
    bool closed = false;
    tfaNdpiClassifier::Flow dpi;
    Queue::iterator position;
};

bool tfaPacketFlowTable::Key::operator==(const Key &other) const
{
    return vlan_id == other.vlan_id && ip_version == other.ip_version &&
           ip_protocol == other.ip_protocol && lower_ip == other.lower_ip &&
           upper_ip == other.upper_ip && lower_port == other.lower_port &&
           upper_port == other.upper_port;
}

size_t tfaPacketFlowTable::KeyHash::operator()(const Key &key) const
{
    return static_cast<size_t>(Hash(key));
}

tfaPacketFlowTable::tfaPacketFlowTable(tfaNdpiClassifier &classifier, const tfaLocalNetworks &local,
                                       const tdApplications *apps, const Options &options)
    : classifier(classifier), local(local), apps(apps), options(options)
{
}

tfaPacketFlowTable::~tfaPacketFlowTable() = default;

tfaPacketFlowTable::Key tfaPacketFlowTable::MakeKey(const tfaPacketHeaders &headers,
                                                    bool &from_lower)
{
    Key key;
    key.vlan_id = headers.vlan_id;
    key.ip_version = headers.ip_version;
    key.ip_protocol = headers.ip_protocol;
    int order = memcmp(headers.src_ip, headers.dst_ip, sizeof(headers.src_ip));
    from_lower = order < 0 || (order == 0 && headers.src_port <= headers.dst_port);
    const uint8_t *lower = from_lower ? headers.src_ip : headers.dst_ip;
    const uint8_t *upper = from_lower ? headers.dst_ip : headers.src_ip;
    std::copy(lower, lower + tfaPacketHeaders::IP_SIZE, key.lower_ip.begin());
    std::copy(upper, upper + tfaPacketHeaders::IP_SIZE, key.upper_ip.begin());
    key.lower_port = from_lower ? headers.src_port : headers.dst_port;
    key.upper_port = from_lower ? headers.dst_port : headers.src_port;
    return key;
}

void tfaPacketFlowTable::Add(uint64_t number, uint64_t time_us, size_t length,
                             const tfaPacketHeaders &headers, std::deque<tfaReplayEvent> &events)
{
    Expire(time_us, events);
    bool from_lower = true;
    Key key = MakeKey(headers, from_lower);
    auto it = flows.find(key);
    if (it != flows.end() && it->second->closed && OpensConnection(headers)) {
        End(*it->second, events);
        it = flows.end();
    }
    bool is_new = it == flows.end();
    Entry &entry = is_new ? Start(key, number, time_us, from_lower, headers) : *it->second;
    entry.last_number = number;
    Count(entry, time_us, length, from_lower, headers);
    bool completed = classifier.Process(entry.dpi, headers.ip, headers.ip_length,
                                        time_us / MICROSECONDS_PER_MILLISECOND);
    if (is_new)
        events.push_back(MakeEvent(entry, tdPluginProcessor::EVENT_DPI_NEW));
    if (completed)
        events.push_back(MakeEvent(entry, tdPluginProcessor::EVENT_DPI_COMPLETE));
}

tfaPacketFlowTable::Entry &tfaPacketFlowTable::Start(const Key &key, uint64_t number,
                                                     uint64_t time_us, bool from_lower,
                                                     const tfaPacketHeaders &headers)
{
    auto entry = std::make_unique<Entry>();
    entry->key = key;
    entry->first_us = entry->last_us = time_us;
    entry->ip_dscp = headers.ip_dscp;
    // A capture that begins with the server's SYN-ACK still knows who opened the connection.
    bool answer = headers.ip_protocol == IPPROTO_TCP_ &&
                  (headers.tcp_flags & tfaPacketParser::TCP_SYN) != 0 &&
                  (headers.tcp_flags & tfaPacketParser::TCP_ACK) != 0;
    entry->origin = from_lower != answer ? tdFlow::ORIGIN_LOWER : tdFlow::ORIGIN_UPPER;
    // Tuples come back after expiry; the first packet's time tells the connections apart.
    entry->digest = Hash(key);
    Mix(entry->digest, time_us);
    entry->position = open.insert(open.end(), entry.get());
    Entry &started = *entry;
    flows.emplace(key, std::move(entry));
    created++;
    most_live = std::max(most_live, flows.size());
    return started;
}

void tfaPacketFlowTable::Count(Entry &entry, uint64_t time_us, size_t length, bool from_lower,
                               const tfaPacketHeaders &headers)
{
    Side sender = from_lower ? LOWER : UPPER;
    Side receiver = from_lower ? UPPER : LOWER;
    entry.bytes[sender] += length;
    entry.packets[sender]++;
    entry.last_us = std::max(entry.last_us, time_us);
    if (headers.has_macs) {
        for (auto side : {sender, receiver}) {
            if (entry.has_mac[side])
                continue;
            memcpy(entry.mac[side], side == sender ? headers.src_mac : headers.dst_mac,
                   tfaPacketHeaders::MAC_SIZE);
            entry.has_mac[side] = true;
        }
    }
    Queue &queue = entry.closed ? closed : open;
    queue.splice(queue.end(), queue, entry.position);

    if (headers.ip_protocol != IPPROTO_TCP_)
        return;
    if ((headers.tcp_flags & tfaPacketParser::TCP_RST) != 0) {
        entry.resets++;
        Close(entry);
    }
    if ((headers.tcp_flags & tfaPacketParser::TCP_FIN) != 0) {
        entry.fin[sender] = true;
        if (entry.fin[receiver])
            Close(entry);
    }
}

void tfaPacketFlowTable::Close(Entry &entry)
{
    if (entry.closed)
        return;
    entry.closed = true;
    closed.splice(closed.end(), open, entry.position);
}

uint64_t tfaPacketFlowTable::Deadline(const Entry &entry) const
{
    return entry.last_us +
           (entry.closed ? std::min(CLOSED_LINGER_US, options.idle_us) : options.idle_us);
}

tfaPacketFlowTable::Entry *tfaPacketFlowTable::NextDue(uint64_t time_us)
{
    Entry *first = open.empty() ? nullptr : open.front();
    if (!closed.empty() && (first == nullptr || Deadline(*closed.front()) < Deadline(*first)))
        first = closed.front();
    return first != nullptr && Deadline(*first) <= time_us ? first : nullptr;
}

void tfaPacketFlowTable::Expire(uint64_t time_us, std::deque<tfaReplayEvent> &events)
{
    while (Entry *entry = NextDue(time_us))
        End(*entry, events);
}

void tfaPacketFlowTable::Finish(std::deque<tfaReplayEvent> &events)
{
    Expire(std::numeric_limits<uint64_t>::max(), events);
}

void tfaPacketFlowTable::End(Entry &entry, std::deque<tfaReplayEvent> &events)
{
    if (!entry.dpi.IsComplete()) {
        classifier.GiveUp(entry.dpi);
        events.push_back(MakeEvent(entry, tdPluginProcessor::EVENT_DPI_COMPLETE));
    }
    events.push_back(MakeEvent(entry, tdPluginProcessor::EVENT_FLOW_EXPIRED));
    (entry.closed ? closed : open).erase(entry.position);
    flows.erase(entry.key);
}

tfaReplayEvent tfaPacketFlowTable::MakeEvent(Entry &entry, tdPluginProcessor::Event type)
{
    tfaReplayEvent event;
    event.event = type;
    event.line = entry.last_number;
    event.digest = entry.digest;
    event.intel = json::object();
    event.flow = std::make_shared<tdFlow>();
    tdFlow &record = *event.flow;
    Describe(entry, record);
    // As in a replay file: the first event comes before classification, and only the
    // completion event marks the flow classified (the host keeps the mark from then on).
    if (type != tdPluginProcessor::EVENT_DPI_NEW)
        classifier.Describe(entry.dpi, apps, record);
    record.detection_complete = type == tdPluginProcessor::EVENT_DPI_COMPLETE;
    record.tcp_closed = type == tdPluginProcessor::EVENT_FLOW_EXPIRED && entry.closed;
    return event;
}

void tfaPacketFlowTable::Describe(Entry &entry, tdFlow &record) const
{
    const Key &key = entry.key;
    record.digest = entry.digest;
    record.ts_first_seen = entry.first_us / MICROSECONDS_PER_MILLISECOND;
    record.ts_last_seen = entry.last_us / MICROSECONDS_PER_MILLISECOND;
    record.ip_version = key.ip_version;
    record.ip_dscp = entry.ip_dscp;
    record.ip_protocol = key.ip_protocol;
    record.vlan_id = key.vlan_id;
    SetAddress(record.lower_addr, key.ip_version, key.lower_ip, key.lower_port);
    SetAddress(record.upper_addr, key.ip_version, key.upper_ip, key.upper_port);
    if (entry.has_mac[LOWER])
        SetMac(record.lower_mac, entry.mac[LOWER]);
    if (entry.has_mac[UPPER])
        SetMac(record.upper_mac, entry.mac[UPPER]);
    Orient(entry, record);
    record.origin = entry.origin;
    record.iface_name = options.iface_name;
    record.iface_role = options.iface_role;

    tdFlowStats &stats = record.stats;
    stats.lower_bytes = entry.bytes[LOWER] - entry.reported_bytes[LOWER];
    stats.upper_bytes = entry.bytes[UPPER] - entry.reported_bytes[UPPER];
    stats.lower_packets = Narrow(entry.packets[LOWER] - entry.reported_packets[LOWER]);
    stats.upper_packets = Narrow(entry.packets[UPPER] - entry.reported_packets[UPPER]);
    stats.lower_total_bytes = entry.bytes[LOWER];
    stats.upper_total_bytes = entry.bytes[UPPER];
    stats.total_bytes = entry.bytes[LOWER] + entry.bytes[UPPER];
    stats.lower_total_packets = Narrow(entry.packets[LOWER]);
    stats.upper_total_packets = Narrow(entry.packets[UPPER]);
    stats.total_packets = Narrow(entry.packets[LOWER] + entry.packets[UPPER]);
    stats.tcp_resets = entry.resets;
    std::copy(entry.bytes, entry.bytes + SIDES, entry.reported_bytes);
    std::copy(entry.packets, entry.packets + SIDES, entry.reported_packets);
}

void tfaPacketFlowTable::Orient(const Entry &entry, tdFlow &record) const
{
    const Key &key = entry.key;
    bool lower_local = local.Contains(key.ip_version, key.lower_ip.data());
    bool upper_local = local.Contains(key.ip_version, key.upper_ip.data());
    uint8_t lower_cast = CastType(key.ip_version, key.lower_ip);
    uint8_t upper_cast = CastType(key.ip_version, key.upper_ip);
    record.lower_map = tdFlow::LOWER_MAP_LOCAL;
    if (upper_cast != tdFlow::OTHER_UNKNOWN) {
        record.other_type = upper_cast;
    } else if (lower_cast != tdFlow::OTHER_UNKNOWN) {
        record.lower_map = tdFlow::LOWER_MAP_OTHER;
        record.other_type = lower_cast;
    } else if (upper_local && !lower_local) {
        record.lower_map = tdFlow::LOWER_MAP_OTHER;
        record.other_type = tdFlow::OTHER_REMOTE;
    } else if (lower_local) {
        record.other_type = upper_local ? tdFlow::OTHER_LOCAL : tdFlow::OTHER_REMOTE;
    } else {
        record.other_type = tdFlow::OTHER_UNKNOWN;
    }
}
