#include "tools/replay/host_setup.hpp"

#include "host/exception.hpp"

#ifndef __FreeBSD__
#include "sim/pf/pfsim.hpp"
#endif

tfaHostSetup::tfaHostSetup(const std::string &tag, const std::vector<std::string> &variables,
                           const std::string &applications,
                           const std::vector<std::string> &pf_devices)
    : instance(tag)
{
    config.options =
        tdFlags<tdGlobalConfig::Options>(tdGlobalConfig::GO_DHC) | tdGlobalConfig::GO_FHC;
    for (const auto &variable : variables) {
        size_t equals = variable.find('=');
        if (equals == std::string::npos || equals == 0)
            throw tdException("--var: expected NAME=VALUE: %s", variable.c_str());
        config.path_vars[variable.substr(0, equals)] = variable.substr(equals + 1);
    }
    if (!applications.empty())
        instance.apps.Load(applications);

#ifndef __FreeBSD__
    pfsim::Reset();
    for (const auto &device : pf_devices)
        pfsim::RegisterDevice(device);
#endif
}
