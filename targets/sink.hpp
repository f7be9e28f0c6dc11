#pragma once

#include "host/flags.hpp"
#include "host/flow.hpp"
#include "host/json.hpp"
#include "host/plugin.hpp"
#include "targets/target.hpp"

#include <cstdint>
#include <memory>
#include <set>
#include <string>

// Hands matching flow events back to the host as JSON payloads for one of its sinks, on one
// channel. Keeps no state between events; its members never change after construction.
class tfaTargetSink : public tfaTarget
{
public:
    // Flow events forwarded, one bit per event kind ("flow_intel" is always forwarded).
    enum FlowEvents : uint8_t {
        FE_NONE = 0x00,
        FE_NEW = 0x01,       // "dpi_new"
        FE_UPDATED = 0x02,   // "dpi_update"
        FE_COMPLETED = 0x04, // "dpi_complete"
        FE_EXPIRED = 0x08,   // "flow_expired"
        FE_ALL = 0x0f,
    };

    // Reads "sink", "channel", "format", "compressor", "flow_events" and "header" from
    // `type_config` and then from `target_config` (either may be null; the target's own value
    // wins). None is required; a value of the wrong JSON type throws tdException
    // "<name>: invalid <string|bool> parameter type: <key>". Unknown format, compressor and
    // flow event texts are not errors. When no flow event is recognised, logs
    // "<name>: Flow events not set, enabling new flow events by default." and forwards new flows.
    static std::unique_ptr<tfaTargetSink> Create(const std::string &name, const json &target_config,
                                 const json &type_config);

    tfaTargetSink(const std::string &name, const std::string &sink, const std::string &channel,
                  tdFlags<tdPlugin::DispatchFlags> dispatch_flags, uint8_t flow_events);

    // Encodes the flow into a payload and hands it to tdPlugin::DispatchSinkPayload when the
    // event kind is forwarded; false (nothing built) otherwise. The payload is built under the
    // flow's own lock and dispatched after it is released. Exceptions from the flow encoding
    // pass through, and nothing is dispatched then.
    bool ProcessFlow(const tfaAction &action, tdPluginProcessor::Event event,
                     std::shared_ptr<tdFlow> &flow) override;

    const std::string &GetSink() const { return sink; }
    const std::string &GetChannel() const { return channel; }
    tdFlags<tdPlugin::DispatchFlags> GetDispatchFlags() const { return dispatch_flags; }
    uint8_t GetFlowEvents() const { return flow_events; }

private:
    // The payload "type" for `event`, or null when the event is not forwarded.
    const char *PayloadType(tdPluginProcessor::Event event) const;

    std::string sink;
    std::string channel;
    // The dispatch call takes a set; built once here rather than for every payload.
    const std::set<std::string> channels;
    tdFlags<tdPlugin::DispatchFlags> dispatch_flags;
    uint8_t flow_events;
};
