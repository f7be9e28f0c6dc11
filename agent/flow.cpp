#include "host/flow.hpp"

#include "agent/log_control.hpp"
#include "host/log.hpp"

void tdFlow::Print(tdFlags<PrintFlags> flags, const std::string &label) const
{
    if (!td_debug_enabled())
        return;

    std::lock_guard<std::recursive_mutex> guard(lock);
    std::string lower, upper;
    tdAddr::MakeString(lower_addr, lower, tdAddr::MakeFlags::PORT);
    tdAddr::MakeString(upper_addr, upper, tdAddr::MakeFlags::PORT);
    const char *direction = origin == ORIGIN_UPPER ? "<-" : "->";

    if (!flags.Has(PrintFlags::METADATA)) {
        td_dprintf("%s: %s: %u %s %s %s\n", label.c_str(), iface_name.c_str(), ip_protocol,
                   lower.c_str(), direction, upper.c_str());
        return;
    }
    td_dprintf("%s: %s: %u %s %s %s: %s/%s%s%s\n", label.c_str(), iface_name.c_str(), ip_protocol,
               lower.c_str(), direction, upper.c_str(),
               detected_protocol_name.empty() ? "Unknown" : detected_protocol_name.c_str(),
               detected_application_name.empty() ? "Unknown" : detected_application_name.c_str(),
               host_server_name.empty() ? "" : " ", host_server_name.c_str());
}

const char *tdFlow::GetOtherTypeText(uint8_t other_type)
{
    switch (other_type) {
    case OTHER_UNSUPPORTED:
        return "unsupported";
    case OTHER_LOCAL:
        return "local";
    case OTHER_MULTICAST:
        return "multicast";
    case OTHER_BROADCAST:
        return "broadcast";
    case OTHER_REMOTE:
        return "remote";
    case OTHER_ERROR:
        return "error";
    default:
        return "unknown";
    }
}

// A tunnel endpoint is local, remote or in error; every other code reads as unsupported there.
const char *tdFlow::GetGtpOtherTypeText(uint8_t other_type)
{
    switch (other_type) {
    case OTHER_LOCAL:
        return "local";
    case OTHER_REMOTE:
        return "remote";
    case OTHER_ERROR:
        return "error";
    default:
        return "unsupported";
    }
}
