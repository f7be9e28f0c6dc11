#include "tools/replay/capture_source.hpp"

#include "encoding/flow_encode.hpp"
#include "host/exception.hpp"
#include "host/log.hpp"
#include "agent/time_source.hpp"
#include "host/time_of_day.hpp"

#ifndef __FreeBSD__
#include "sim/pf/pfsim.hpp"
#endif

#include <algorithm>
#include <atomic>
#include <ctime>

namespace
{
constexpr double MICROSECONDS = 1e6;
constexpr const char *TYPE_NEW = "flow";
constexpr const char *TYPE_COMPLETE = "flow_dpi_complete";
constexpr const char *TYPE_EXPIRED = "flow_purge";
constexpr const char *TYPE_UPDATE = "update";
constexpr const char *REASON_CLOSED = "closed";
constexpr const char *REASON_EXPIRED = "expired";

// Seconds since the epoch of the latest packet read; 0 before the first one.
std::atomic<int64_t> capture_seconds{0};

int64_t CaptureClock()
{
    int64_t seconds = capture_seconds.load();
    return seconds != 0 ? seconds : static_cast<int64_t>(time(nullptr));
}

void FollowCapture(uint64_t time_us)
{
    auto seconds = static_cast<int64_t>(static_cast<double>(time_us) / MICROSECONDS);
    if (capture_seconds.exchange(seconds) == seconds)
        return;
#ifndef __FreeBSD__
    pfsim::SetClock(seconds);
#endif
}

void FollowWallClock()
{
    td_set_time_source(nullptr);
    capture_seconds.store(0);
#ifndef __FreeBSD__
    pfsim::UseWallClock();
#endif
}

uint64_t Microseconds(double seconds)
{
    return static_cast<uint64_t>(seconds * MICROSECONDS);
}

const char *TypeName(tdPluginProcessor::Event event)
{
    switch (event) {
    case tdPluginProcessor::EVENT_DPI_NEW:
        return TYPE_NEW;
    case tdPluginProcessor::EVENT_DPI_COMPLETE:
        return TYPE_COMPLETE;
    default:
        return TYPE_EXPIRED;
    }
}

double Rate(uint64_t count, double seconds)
{
    return seconds > 0 ? static_cast<double>(count) / seconds : 0.0;
}
} // namespace

std::unique_ptr<tfaCaptureSource> tfaCaptureSource::Create(const Options &options,
                                                           const tdApplications *apps,
                                                           std::ostream *write_flows)
{
    if (options.captures.empty())
        throw tdException("pcap: no capture given");
    if (!(options.idle > 0))
        throw tdException("--idle: expected seconds above 0: %g", options.idle);
    if (!(options.update_interval >= 0))
        throw tdException("--update-interval: expected seconds, 0 or more: %g",
                          options.update_interval);
    auto local = tfaLocalNetworks::Create(options.local_networks);
    auto first = tfaPcapReader::Open(options.captures.front());
    auto classifier = tfaNdpiClassifier::Create();
    return std::unique_ptr<tfaCaptureSource>(new tfaCaptureSource(
        options, std::move(local), std::move(classifier), std::move(first), apps, write_flows));
}

tfaCaptureSource::tfaCaptureSource(const Options &options, std::unique_ptr<tfaLocalNetworks> local,
                                   std::unique_ptr<tfaNdpiClassifier> classifier,
                                   std::unique_ptr<tfaPcapReader> first, const tdApplications *apps,
                                   std::ostream *write_flows)
    : options(options), local(std::move(local)), classifier(std::move(classifier)),
      reader(std::move(first)), write_flows(write_flows),
      update_us(Microseconds(options.update_interval))
{
    tfaPacketFlowTable::Options table_options;
    table_options.idle_us = Microseconds(options.idle);
    table_options.iface_name = options.iface_name;
    table_options.iface_role = options.wan ? tdFlow::ROLE_WAN : tdFlow::ROLE_LAN;
    table =
        std::make_unique<tfaPacketFlowTable>(*this->classifier, *this->local, apps, table_options);
    td_set_time_source(CaptureClock);
}

tfaCaptureSource::~tfaCaptureSource()
{
    FollowWallClock();
}

bool tfaCaptureSource::Next(tfaReplayEvent &event)
{
    while (ready.empty()) {
        auto start = Clock::now();
        bool more = Fill();
        busy += Clock::now() - start;
        if (!more)
            return false;
    }
    event = std::move(ready.front());
    ready.pop_front();
    if (write_flows != nullptr)
        Write(event);
    return true;
}

bool tfaCaptureSource::Fill()
{
    if (finished)
        return false;
    while (reader) {
        if (ReadFrame())
            return true;
        reader.reset();
        while (!reader && next_capture < options.captures.size()) {
            try {
                reader = tfaPcapReader::Open(options.captures[next_capture++]);
            } catch (const tdException &e) {
                td_printf("%s\n", e.what());
                faults++;
            }
        }
    }
    table->Finish(ready);
    finished = true;
    return true;
}

bool tfaCaptureSource::ReadFrame()
{
    tfaCapturedFrame frame;
    try {
        if (!reader->Next(frame))
            return false;
    } catch (const tdException &e) {
        td_printf("%s\n", e.what());
        faults++;
        return false;
    }
    frames++;
    // Captures joined one after the other may step back in time; the clock does not.
    now_us = std::max(now_us, frame.time_us);
    FollowCapture(now_us);
    Place(now_us);
    tfaPacketHeaders headers;
    if (tfaPacketParser::Parse(reader->GetLinkType(), frame.data, frame.captured, headers)) {
        table->Add(frame.number, now_us, frame.length, headers, ready);
    } else {
        non_flow_frames++;
        table->Expire(now_us, ready);
    }
    return true;
}

// A host update once a packet shows that the interval has passed; flows idle by then end
// first, so the update meets the flow map as the agent's would.
void tfaCaptureSource::Place(uint64_t time_us)
{
    if (update_us == 0)
        return;
    if (next_update_us == 0)
        next_update_us = time_us + update_us;
    if (time_us < next_update_us)
        return;
    table->Expire(time_us, ready);
    tfaReplayEvent update;
    update.kind = tfaReplayEvent::UPDATE;
    ready.push_back(std::move(update));
    next_update_us = time_us + update_us;
}

void tfaCaptureSource::Write(const tfaReplayEvent &event)
{
    json payload;
    if (event.kind == tfaReplayEvent::UPDATE) {
        payload["type"] = TYPE_UPDATE;
    } else {
        const tdFlow &flow = *event.flow;
        payload["type"] = TypeName(event.event);
        payload["interface"] = flow.iface_name;
        payload["internal"] = flow.iface_role == tdFlow::ROLE_LAN;
        if (event.event == tdPluginProcessor::EVENT_FLOW_EXPIRED)
            payload["reason"] = flow.tcp_closed ? REASON_CLOSED : REASON_EXPIRED;
        flow.Encode(payload["flow"], flow.stats,
                    tdFlags<tdFlow::EncodeFlags>(tdFlow::ENCODE_METADATA) | tdFlow::ENCODE_TUNNELS |
                        tdFlow::ENCODE_STATS);
    }
    *write_flows << payload.dump(-1, ' ', false, json::error_handler_t::replace) << '\n';
}

void tfaCaptureSource::PrintSummary(FILE *out) const
{
    double seconds = std::chrono::duration<double>(busy).count();
    fprintf(out,
            "read %llu packets (%llu not of a flow) from %zu capture(s) into %llu flows, "
            "%zu live at most, in %.3f s (%.0f packets/s, %.0f flows/s)\n",
            static_cast<unsigned long long>(frames),
            static_cast<unsigned long long>(non_flow_frames), options.captures.size(),
            static_cast<unsigned long long>(GetFlows()), GetMostLiveFlows(), seconds,
            Rate(frames, seconds), Rate(GetFlows(), seconds));
    const auto &unmapped = classifier->GetUnmapped();
    if (unmapped.empty())
        return;
    std::string names;
    for (const auto &entry : unmapped)
        names +=
            (names.empty() ? "" : ", ") + entry.first + " (" + std::to_string(entry.second) + ")";
    fprintf(out, "nDPI protocols the protocol table lacks, as protocol 0 (flows): %s\n",
            names.c_str());
}
