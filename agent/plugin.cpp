#include "host/plugin.hpp"

#include <mutex>

namespace {
std::mutex sink_handler_lock;
tdPlugin::SinkHandler sink_handler;
} // namespace

tdPlugin::tdPlugin(const std::string &tag, Type type, const Params &params)
    : tdThread(tag), type(type), params(params)
{
    auto it = params.find("plugin_type");
    if (it != params.end())
        this->type = static_cast<Type>(std::stoul(it->second));
}

void tdPlugin::DispatchSinkPayload(const std::string &sink, const std::set<std::string> &channels,
                                   json &payload, tdFlags<DispatchFlags> flags)
{
    SinkHandler handler;
    {
        std::lock_guard<std::mutex> guard(sink_handler_lock);
        handler = sink_handler;
    }
    if (handler)
        handler(sink, channels, payload, flags);
}

void tdPlugin::SetSinkHandler(SinkHandler handler)
{
    std::lock_guard<std::mutex> guard(sink_handler_lock);
    sink_handler = std::move(handler);
}

tdPluginProcessor::tdPluginProcessor(const std::string &tag, const Params &params)
    : tdPlugin(tag, TYPE_PROCESSOR, params)
{
    auto it = params.find("conf_filename");
    if (it != params.end())
        conf_filename = it->second;
}
