#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "host/flags.hpp"

// The host's process-wide settings. One object at a time is the instance: constructing one
// installs it, destroying it removes it.
class tdGlobalConfig
{
public:
    enum class Options : uint32_t {
        NONE = 0x00,
        // Report whether a flow's detection came from the detection hash cache.
        DHC = 0x01,
        // Report whether a flow came from the flow hash cache.
        FHC = 0x02,
    };
    static constexpr Options GO_DHC = Options::DHC;
    static constexpr Options GO_FHC = Options::FHC;

    tdGlobalConfig();
    ~tdGlobalConfig();

    tdGlobalConfig(const tdGlobalConfig &) = delete;
    tdGlobalConfig &operator=(const tdGlobalConfig &) = delete;

    // Throws tdException "tdGlobalConfig: instance not found" when none exists.
    static tdGlobalConfig &GetInstance();

    // Path variables, written ${name} in configuration texts.
    std::map<std::string, std::string> path_vars;
    tdFlags<Options> options;

private:
    static tdGlobalConfig *instance;
};
