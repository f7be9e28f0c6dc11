#pragma once

#include "host/flow.hpp"
#include "host/plugin.hpp"
#include "targets/target.hpp"

#include <cstdint>
#include <memory>
#include <string>

// A target that puts one address of each matching flow into a firewall table: the local or the
// other endpoint, taken from the classification events that carry a settled flow.
class tfaTargetAddress : public tfaTarget
{
public:
    enum AddrType : uint32_t {
        ADDR_LOCAL = 1,
        ADDR_OTHER = 2,
    };

    tfaTargetAddress(tfaTargetType type, const std::string &name, uint32_t flags,
                     AddrType addr_type)
        : tfaTarget(type, name, flags), addr_type(addr_type)
    {
    }

    const AddrType addr_type;

protected:
    // The flow's address this target takes for `event`; null for other events, a null flow, or
    // an unknown address type (a debug line names it).
    const tdAddr *FlowAddress(tdPluginProcessor::Event event,
                              const std::shared_ptr<tdFlow> &flow) const;
};
