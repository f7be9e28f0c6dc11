#include "targets/log_entry.hpp"

#include "host/log.hpp"

#include <mutex>

namespace
{
constexpr char unclassified_app_id[] = "0.tarvix.unclassified";
} // namespace

tfaTargetLogEntry::tfaTargetLogEntry(const std::string &flow_action, tdPluginProcessor::Event event,
                                     const tdFlow &flow)
    : flow_action(flow_action), event(event)
{
    std::lock_guard<std::recursive_mutex> guard(flow.lock);

    bool upper_opened = flow.origin == tdFlow::ORIGIN_UPPER;
    if (flow.origin != tdFlow::ORIGIN_LOWER && !upper_opened)
        td_dprintf("tfaTargetLog: Unknown origin, assuming lower.\n");
    src_addr = upper_opened ? flow.upper_addr : flow.lower_addr;
    dst_addr = upper_opened ? flow.lower_addr : flow.upper_addr;
    dst_port = dst_addr.GetPort(true);

    app_id = flow.detected_application_name.empty() ? unclassified_app_id
                                                    : flow.detected_application_name;
    proto_id = flow.detected_protocol;
}

void tfaTargetLogEntry::Append(std::vector<json> &array) const
{
    json entry;
    entry["app_id"] = app_id;
    entry["dst_addr"] = dst_addr.GetString();
    entry["dst_port"] = dst_port;
    entry["event"] = EventName(event);
    entry["flow_action"] = flow_action;
    entry["proto_id"] = proto_id;
    entry["src_addr"] = src_addr.GetString();
    array.push_back(std::move(entry));
}

const char *tfaTargetLogEntry::EventName(tdPluginProcessor::Event event)
{
    switch (event) {
    case tdPluginProcessor::EVENT_NONE:
        return "none";
    case tdPluginProcessor::EVENT_FLOW_NEW:
        return "flow_new";
    case tdPluginProcessor::EVENT_FLOW_EXPIRING:
        return "flow_expiring";
    case tdPluginProcessor::EVENT_FLOW_EXPIRED:
        return "flow_expired";
    case tdPluginProcessor::EVENT_FLOW_INTEL:
        return "flow_intel";
    case tdPluginProcessor::EVENT_DPI_NEW:
        return "dpi_new";
    case tdPluginProcessor::EVENT_DPI_UPDATE:
        return "dpi_update";
    case tdPluginProcessor::EVENT_DPI_COMPLETE:
        return "dpi_complete";
    default:
        return "unknown";
    }
}
