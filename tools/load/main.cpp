// Loads a plug-in library the way the host agent does and reports what it found.
#include <cstdio>
#include <memory>

#include "host/exception.hpp"
#include "agent/log_control.hpp"
#include "host/log.hpp"
#include "tools/common/plugin_loader.hpp"

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s LIBRARY\n", argv[0]);
        return 2;
    }
    td_set_debug(true);
    try {
        tdPluginLoader loader(argv[1]);
        std::unique_ptr<tdPluginProcessor> plugin(loader.Init("flow-actions", {}));
        if (!plugin)
            return 1;
        std::string name, version, library;
        plugin->GetName(name);
        plugin->GetVersion(version);
        plugin->GetLibrary(library);
        printf("%s: %s %s (%s), ABI host version %u, API date %08x\n", argv[1], name.c_str(),
               version.c_str(), library.c_str(), loader.GetABIField(tdPluginABI::OFFSET_HOST_VERSION),
               loader.GetABIField(tdPluginABI::OFFSET_API_DATE));
    } catch (const tdException &e) {
        fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
