#include "tools/replay/config_check.hpp"

#include "host/exception.hpp"
#include "plugin/plugin.hpp"
#include "rules/exception_text.hpp"

#include <memory>
#include <thread>

namespace
{
constexpr const char *CONF_FILENAME = "conf_filename";

// Runs `body` and keeps the text of whatever it throws; the plug-in throws tdException, plain
// strings (criteria and exemption texts) and the JSON library's exceptions.
template <class Body> bool Catch(Body body, std::string &message)
{
    try {
        body();
        return true;
    } catch (...) {
        message = tfaExceptionText();
    }
    return false;
}
} // namespace

bool tfaConfigCheck::Load(const std::string &tag, const std::string &config, std::string &message,
                          std::vector<std::string> *faults)
{
    std::unique_ptr<tdPluginProcessor> plugin;
    if (!Catch([&]() { plugin.reset(tdPluginInit(tag, {{CONF_FILENAME, config}})); }, message))
        return false;
    if (!plugin) {
        message = tag + ": the plug-in's entry refused to build it";
        return false;
    }

    bool loaded = false;
    std::thread loader([&]() {
        auto *flow_actions = static_cast<tfaPlugin *>(plugin.get());
        loaded = Catch(
            [&]() {
                flow_actions->Validate();
                flow_actions->Reload();
            },
            message);
        if (faults != nullptr)
            *faults = flow_actions->GetLoadFaults();
    });
    loader.join();
    return loaded;
}
