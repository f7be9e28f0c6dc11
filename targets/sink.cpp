#include "targets/sink.hpp"

#include "encoding/flow_encode.hpp"
#include "host/exception.hpp"
#include "host/log.hpp"
#include "host/strings.hpp"
#include "rules/action.hpp"
#include "targets/target_keys.hpp"

namespace
{
constexpr char FLOW_EVENTS_SEPARATOR = '|';
constexpr uint8_t IP_PROTO_TCP = 6;
const tdFlags<tdFlow::EncodeFlags> ENCODE_ALL =
    tdFlags<tdFlow::EncodeFlags>(tdFlow::ENCODE_METADATA) | tdFlow::ENCODE_TUNNELS |
    tdFlow::ENCODE_STATS;

struct FlowEventToken {
    const char *text;
    uint8_t bits;
};
const FlowEventToken FLOW_EVENT_TOKENS[] = {
    {"new", tfaTargetSink::FE_NEW},
    {"updated", tfaTargetSink::FE_UPDATED},
    {"completed", tfaTargetSink::FE_COMPLETED},
    {"expired", tfaTargetSink::FE_EXPIRED},
};
const char *const FLOW_EVENTS_ALL = "all";

tdFlags<tdPlugin::DispatchFlags> FormatFlags(const std::string &format)
{
    if (format == "object")
        return tdPlugin::DF_FORMAT_OBJECT;
    if (format == "msgpack")
        return tdPlugin::DF_FORMAT_MSGPACK;
    return tdPlugin::DF_FORMAT_JSON;
}

uint8_t ParseFlowEvents(const std::string &text)
{
    uint8_t mask = tfaTargetSink::FE_NONE;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(FLOW_EVENTS_SEPARATOR, start);
        if (end == std::string::npos)
            end = text.size();
        std::string token = text.substr(start, end - start);
        td_trim(token, ' ');
        if (token == FLOW_EVENTS_ALL)
            mask = tfaTargetSink::FE_ALL;
        for (const auto &known : FLOW_EVENT_TOKENS)
            if (token == known.text)
                mask |= known.bits;
        start = end + 1;
    }
    return mask;
}
} // namespace

std::unique_ptr<tfaTargetSink> tfaTargetSink::Create(const std::string &name,
                                                     const json &target_config,
                                                     const json &type_config)
{
    std::string sink, channel, format, compressor, flow_events_text;
    bool header = false;
    tfaTargetKeys keys(name, type_config, target_config);
    keys.String("sink", sink);
    keys.String("channel", channel);
    keys.String("format", format);
    keys.String("compressor", compressor);
    keys.String("flow_events", flow_events_text);
    keys.Bool("header", header);

    tdFlags<tdPlugin::DispatchFlags> dispatch_flags = FormatFlags(format);
    if (compressor == "gz")
        dispatch_flags |= tdPlugin::DF_COMPRESS_GZ;

    uint8_t flow_events = ParseFlowEvents(flow_events_text);
    if (flow_events == FE_NONE) {
        td_printf("%s: Flow events not set, enabling new flow events by default.\n", name.c_str());
        flow_events = FE_NEW;
    }

    if (header)
        dispatch_flags |= tdPlugin::DF_HEADER;

    return std::make_unique<tfaTargetSink>(name, sink, channel, dispatch_flags, flow_events);
}

tfaTargetSink::tfaTargetSink(const std::string &name, const std::string &sink,
                             const std::string &channel,
                             tdFlags<tdPlugin::DispatchFlags> dispatch_flags, uint8_t flow_events)
    : tfaTarget(TT_SINK, name, TF_NONE), sink(sink), channel(channel), channels({channel}),
      dispatch_flags(dispatch_flags), flow_events(flow_events)
{
}

bool tfaTargetSink::ProcessFlow(const tfaAction &action, tdPluginProcessor::Event event,
                                std::shared_ptr<tdFlow> &flow)
{
    const char *type = PayloadType(event);
    if (type == nullptr)
        return false;

    json payload;
    {
        // Host threads update the record under this lock; Encode takes it again (recursive).
        std::lock_guard<std::recursive_mutex> guard(flow->lock);
        payload["type"] = type;
        if (event == tdPluginProcessor::EVENT_FLOW_EXPIRED)
            payload["reason"] =
                flow->ip_protocol == IP_PROTO_TCP && flow->tcp_closed ? "closed" : "expired";
        payload["flow_action"] = action.name;
        payload["tags"] = action.tags.is_object() ? action.tags : json::object();
        payload["interface"] = flow->iface_name;
        payload["internal"] = flow->iface_role == tdFlow::ROLE_LAN;
        flow->Encode(payload["flow"], flow->stats, ENCODE_ALL);
    }

    tdPlugin::DispatchSinkPayload(sink, channels, payload, dispatch_flags);
    return true;
}

const char *tfaTargetSink::PayloadType(tdPluginProcessor::Event event) const
{
    switch (event) {
    case tdPluginProcessor::EVENT_FLOW_EXPIRED:
        return flow_events & FE_EXPIRED ? "flow_purge" : nullptr;
    case tdPluginProcessor::EVENT_FLOW_INTEL:
        return "flow_intel";
    case tdPluginProcessor::EVENT_DPI_NEW:
        return flow_events & FE_NEW ? "flow" : nullptr;
    case tdPluginProcessor::EVENT_DPI_UPDATE:
        return flow_events & FE_UPDATED ? "flow_update" : nullptr;
    case tdPluginProcessor::EVENT_DPI_COMPLETE:
        return flow_events & FE_COMPLETED ? "flow_dpi_complete" : nullptr;
    default:
        return nullptr;
    }
}
