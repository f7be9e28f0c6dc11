#pragma once

#include "host/flow.hpp"
#include "host/json.hpp"
#include "host/plugin.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>

// One event for the replay host: a flow event for the plug-in, or a control line for the host.
struct tfaReplayEvent {
    enum Kind : uint8_t {
        FLOW,   // deliver `event` for `flow`
        UPDATE, // {"type": "update"}: a host update (flow-map event, then update event)
        RELOAD, // {"type": "reload"}: a reload request
    };

    Kind kind = FLOW;
    size_t line = 0; // where it came from: a replay file's line, a capture's packet number
    tdPluginProcessor::Event event = tdPluginProcessor::EVENT_NONE;
    // The flow's key in the host's flow map: its "digest", or one made from its addresses.
    uint64_t digest = 0;
    std::shared_ptr<tdFlow> flow;
    // The document of a "flow_intel" event; an empty object when the line has none.
    json intel;
};

// Where the replay host's events come from: a replay file, or a packet capture classified on
// the way.
class tfaEventSource
{
public:
    virtual ~tfaEventSource() = default;

    // The next event; false at the end of the input.
    virtual bool Next(tfaReplayEvent &event) = 0;
    // Input the source passed over as malformed (lines of a replay file).
    virtual size_t GetSkipped() const = 0;
};
