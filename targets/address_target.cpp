#include "targets/address_target.hpp"

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

    bool lower_is_other = flow->lower_map == tdFlow::LOWER_MAP_OTHER;
    switch (addr_type) {
    case ADDR_LOCAL:
        return lower_is_other ? &flow->upper_addr : &flow->lower_addr;
    case ADDR_OTHER:
        return lower_is_other ? &flow->lower_addr : &flow->upper_addr;
    }
    td_dprintf("%s: invalid address type: %d\n", name.c_str(), static_cast<int>(addr_type));
    return nullptr;
}
