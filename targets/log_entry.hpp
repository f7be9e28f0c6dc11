#pragma once

#include "host/addr.hpp"
#include "host/flow.hpp"
#include "host/json.hpp"
#include "host/plugin.hpp"

#include <cstdint>
#include <string>
#include <vector>

// What one matching flow event says, copied when the event arrives so that the flow record
// need not be kept until the next write. Copyable and movable.
class tfaTargetLogEntry
{
public:
    // Copies the fields from `flow` under the flow record's lock. The side that opened the flow
    // (its origin) becomes the source; an unknown origin is taken as the lower side, with a
    // debug line.
    tfaTargetLogEntry(const std::string &flow_action, tdPluginProcessor::Event event,
                      const tdFlow &flow);

    // Appends the entry's JSON object (keys "app_id", "dst_addr", "dst_port", "event",
    // "flow_action", "proto_id", "src_addr") to `array`.
    void Append(std::vector<json> &array) const;

    // The name written under "event": "unknown" for kinds without a name of their own.
    static const char *EventName(tdPluginProcessor::Event event);

    std::string flow_action;
    tdAddr src_addr;
    tdAddr dst_addr;
    uint16_t dst_port;
    std::string app_id;
    uint32_t proto_id;
    tdPluginProcessor::Event event;
};
