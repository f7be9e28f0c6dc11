#include "targets/address_target.hpp"

#include "encoding/endpoints.hpp"
#include "host/log.hpp"

const tdAddr *tfaTargetAddress::FlowAddress(tdPluginProcessor::Event event,
                                            const std::shared_ptr<tdFlow> &flow) const
{
    switch (event) {
    case tdPluginProcessor::EVENT_FLOW_INTEL:
    case tdPluginProcessor::EVENT_DPI_UPDATE:
    case tdPluginProcessor::EVENT_DPI_COMPLETE:
        break;
    default:
        return nullptr;
    }
    if (flow == nullptr)
        return nullptr;

    switch (addr_type) {
    case ADDR_LOCAL:
    case ADDR_OTHER:
        return &tfaEndpointAddr(*flow, addr_type == ADDR_OTHER);
    }
    td_dprintf("%s: invalid address type: %d\n", name.c_str(), static_cast<int>(addr_type));
    return nullptr;
}
