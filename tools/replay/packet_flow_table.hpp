#pragma once

#include "tools/replay/event_source.hpp"
#include "tools/replay/local_networks.hpp"
#include "tools/replay/ndpi_classifier.hpp"
#include "tools/replay/packet_parser.hpp"

#include <array>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>

class tdApplications;

// The flows of a capture, keyed by VLAN, IP protocol and both addresses and ports, either way
// round. Each flow is classified by nDPI and turned into the events the host agent gives the
// plug-in, in capture time:
//
// - "dpi_new" when its first packet is seen;
// - "dpi_complete" when nDPI settles it, or gives up (at the packet limit, or when the flow
//   ends first);
// - "flow_expired" when it has been idle for the idle time, or, once closed (both FINs or a
//   RST), for CLOSED_LINGER; and for every flow still live when the capture ends.
//
// Endpoints are ordered as the host orders them: the lower address (then port) is "lower". The
// lower map tells which of the two is local: the upper one when only it lies on a local network
// or the lower one is multicast or broadcast, else the lower one. The other type is multicast or
// broadcast by the other endpoint's address, else local when both endpoints are local, remote
// when one is, unknown when neither is.
//
// Expired flows are released at once, so memory follows the live flows.
class tfaPacketFlowTable
{
public:
    struct Options {
        uint64_t idle_us = 0;
        std::string iface_name;
        uint8_t iface_role = 0; // tdFlow::InterfaceRole
    };

    // A closed TCP connection stays this long for the packets still under way (the last ACK).
    static constexpr uint64_t CLOSED_LINGER_US = 1000000;

    // `apps` may be null (no application catalogue). All references must outlive the table.
    tfaPacketFlowTable(tfaNdpiClassifier &classifier, const tfaLocalNetworks &local,
                       const tdApplications *apps, const Options &options);
    ~tfaPacketFlowTable();

    tfaPacketFlowTable(const tfaPacketFlowTable &) = delete;
    tfaPacketFlowTable &operator=(const tfaPacketFlowTable &) = delete;

    // Takes one IP packet: first expires the flows idle at its time, then counts and classifies
    // it. The events this causes are appended to `events`.
    void Add(uint64_t number, uint64_t time_us, size_t length, const tfaPacketHeaders &headers,
             std::deque<tfaReplayEvent> &events);
    // Expires the flows idle at `time_us` (capture time).
    void Expire(uint64_t time_us, std::deque<tfaReplayEvent> &events);
    // Ends every live flow, as the capture has ended.
    void Finish(std::deque<tfaReplayEvent> &events);

    size_t GetLiveFlows() const { return flows.size(); }
    size_t GetMostLiveFlows() const { return most_live; }
    uint64_t GetFlows() const { return created; }

    struct Key {
        uint16_t vlan_id = 0;
        uint8_t ip_version = 0;
        uint8_t ip_protocol = 0;
        std::array<uint8_t, tfaPacketHeaders::IP_SIZE> lower_ip{};
        std::array<uint8_t, tfaPacketHeaders::IP_SIZE> upper_ip{};
        uint16_t lower_port = 0;
        uint16_t upper_port = 0;

        bool operator==(const Key &other) const;
    };

private:
    struct Entry;
    struct KeyHash {
        size_t operator()(const Key &key) const;
    };
    using Queue = std::list<Entry *>;

    static Key MakeKey(const tfaPacketHeaders &headers, bool &from_lower);
    Entry &Start(const Key &key, uint64_t number, uint64_t time_us, bool from_lower,
                 const tfaPacketHeaders &headers);
    void Count(Entry &entry, uint64_t time_us, size_t length, bool from_lower,
               const tfaPacketHeaders &headers);
    void Close(Entry &entry);
    void End(Entry &entry, std::deque<tfaReplayEvent> &events);
    Entry *NextDue(uint64_t time_us);
    uint64_t Deadline(const Entry &entry) const;
    tfaReplayEvent MakeEvent(Entry &entry, tdPluginProcessor::Event type);
    void Describe(Entry &entry, tdFlow &record) const;
    void Orient(const Entry &entry, tdFlow &record) const;

    tfaNdpiClassifier &classifier;
    const tfaLocalNetworks &local;
    const tdApplications *apps;
    Options options;

    std::unordered_map<Key, std::unique_ptr<Entry>, KeyHash> flows;
    // Live flows by last packet, oldest first: open ones, and closed ones waiting out the linger.
    Queue open;
    Queue closed;
    uint64_t created = 0;
    size_t most_live = 0;
};
