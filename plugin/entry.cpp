#include <memory>

#include "host/log.hpp"
#include "plugin/plugin.hpp"

extern "C" __attribute__((visibility("default"))) tdPluginProcessor *
tdPluginInit(const std::string &tag, const tdPlugin::Params &params)
{
    auto plugin = std::make_unique<tfaPlugin>(tag, params);
    switch (plugin->GetType()) {
    case tdPlugin::TYPE_PROCESSOR:
    case tdPlugin::TYPE_PROCESSOR_STATS:
        return plugin.release();
    default:
        td_printf("Invalid plugin type: %s [%u]\n", tag.c_str(),
                  static_cast<unsigned>(plugin->GetType()));
        return nullptr;
    }
}
