#pragma once

#include "tools/replay/event_source.hpp"
#include "tools/replay/local_networks.hpp"
#include "tools/replay/ndpi_classifier.hpp"
#include "tools/replay/packet_flow_table.hpp"
#include "tools/replay/pcap_reader.hpp"

#include <chrono>
#include <cstdio>
#include <deque>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

class tdApplications;

// The events of packet captures, read one after the other as one stretch of traffic: frames
// are parsed, IP packets tracked into flows (tfaPacketFlowTable) and classified with nDPI.
// Host updates are placed in capture time, every `update_interval` seconds of it, so what a
// replay does at an update (pf entries expiring) follows the capture, not the replay's speed.
//
// While the source lives, the host's clocks follow the capture: the time-of-day clock the
// plug-in's windows are judged by and, without a kernel pf, the pf model's clock read the time
// of the latest packet read (the wall clock until the first one).
//
// A capture that turns out truncated or corrupt is reported as "<name>: packet <n>: <reason>";
// the flows read so far are kept and the next capture is read.
class tfaCaptureSource : public tfaEventSource
{
public:
    struct Options {
        std::vector<std::string> captures;                // paths; "-" is standard input
        std::vector<std::string> local_networks;          // CIDR texts; none: the defaults
        double idle = DEFAULT_IDLE;                       // seconds
        double update_interval = DEFAULT_UPDATE_INTERVAL; // seconds of capture time; 0: none
        std::string iface_name = DEFAULT_INTERFACE;
        bool wan = false; // the capture interface faces the WAN rather than the LAN
    };
    static constexpr double DEFAULT_IDLE = 60;
    static constexpr double DEFAULT_UPDATE_INTERVAL = 15;
    static constexpr const char *DEFAULT_INTERFACE = "pcap0";

    // Checks the options, opens the first capture and starts nDPI. `apps` may be null; with
    // `write_flows`, every event is also written to it as a replay file line. Throws
    // tdException naming the option or file at fault.
    static std::unique_ptr<tfaCaptureSource>
    Create(const Options &options, const tdApplications *apps, std::ostream *write_flows);
    ~tfaCaptureSource() override;

    bool Next(tfaReplayEvent &event) override;
    size_t GetSkipped() const override { return 0; }

    // Prints the packets, flows and speed of the reading, and the nDPI protocols the protocol
    // table lacks.
    void PrintSummary(FILE *out) const;

    uint64_t GetFrames() const { return frames; }
    uint64_t GetNonFlowFrames() const { return non_flow_frames; }
    uint64_t GetFlows() const { return table->GetFlows(); }
    size_t GetMostLiveFlows() const { return table->GetMostLiveFlows(); }
    // Captures cut short by a fault.
    size_t GetFaults() const { return faults; }

private:
    tfaCaptureSource(const Options &options, std::unique_ptr<tfaLocalNetworks> local,
                     std::unique_ptr<tfaNdpiClassifier> classifier,
                     std::unique_ptr<tfaPcapReader> first, const tdApplications *apps,
                     std::ostream *write_flows);
    bool Fill();
    bool ReadFrame();
    void Place(uint64_t time_us);
    void Write(const tfaReplayEvent &event);

    using Clock = std::chrono::steady_clock;

    Options options;
    std::unique_ptr<tfaLocalNetworks> local;
    std::unique_ptr<tfaNdpiClassifier> classifier;
    std::unique_ptr<tfaPacketFlowTable> table;
    std::unique_ptr<tfaPcapReader> reader;
    size_t next_capture = 1;
    std::ostream *write_flows;
    std::deque<tfaReplayEvent> ready;

    uint64_t update_us;
    uint64_t next_update_us = 0;
    uint64_t now_us = 0;
    uint64_t frames = 0;
    uint64_t non_flow_frames = 0;
    size_t faults = 0;
    bool finished = false;
    Clock::duration busy{};
};
