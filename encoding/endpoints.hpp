#pragma once

#include "host/addr.hpp"
#include "host/flow.hpp"

#include <cstdint>

// The one rule for which of a record's endpoints is local: with lower map 2 the lower endpoint is
// the remote one; with any other value, the local one.
inline bool tfaLowerIsOther(uint8_t lower_map)
{
    return lower_map == tdFlow::LOWER_MAP_OTHER;
}

// The flow's remote endpoint address when `other`, else its local one.
inline const tdAddr &tfaEndpointAddr(const tdFlow &flow, bool other)
{
    return tfaLowerIsOther(flow.lower_map) == other ? flow.lower_addr : flow.upper_addr;
}
