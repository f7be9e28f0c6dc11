#include "tools/common/plugin_loader.hpp"

#include <cstring>
#include <dlfcn.h>

#include "host/exception.hpp"

tdPluginLoader::tdPluginLoader(const std::string &library) : library(library)
{
    handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr)
        throw tdException("%s: dlopen: %s", library.c_str(), dlerror());

    try {
        abi = static_cast<const unsigned char *>(dlsym(handle, "td_plugin_abi"));
        if (abi == nullptr)
            throw tdException("%s: td_plugin_abi: symbol not found", library.c_str());
        if (memcmp(abi, tdPluginABI::MAGIC, sizeof(tdPluginABI::MAGIC)) != 0)
            throw tdException("%s: td_plugin_abi: magic: expected \"BAPT\"", library.c_str());
        if (GetABIField(tdPluginABI::OFFSET_LENGTH) != tdPluginABI::SIZE)
            throw tdException("%s: td_plugin_abi: length: %u, expected %zu", library.c_str(),
                              GetABIField(tdPluginABI::OFFSET_LENGTH), tdPluginABI::SIZE);
        if (GetABIField(tdPluginABI::OFFSET_HOST_VERSION) != tdPluginABI::HOST_VERSION)
            throw tdException("%s: td_plugin_abi: host version: %u, expected %u", library.c_str(),
                              GetABIField(tdPluginABI::OFFSET_HOST_VERSION),
                              tdPluginABI::HOST_VERSION);
        init = reinterpret_cast<tdPluginInitFunc>(dlsym(handle, "tdPluginInit"));
        if (init == nullptr)
            throw tdException("%s: tdPluginInit: symbol not found", library.c_str());
    } catch (...) {
        dlclose(handle);
        throw;
    }
}

tdPluginLoader::~tdPluginLoader() { dlclose(handle); }

tdPluginProcessor *tdPluginLoader::Init(const std::string &tag, const tdPlugin::Params &params)
{
    return init(tag, params);
}

uint32_t tdPluginLoader::GetABIField(size_t offset) const
{
    return uint32_t(abi[offset]) | uint32_t(abi[offset + 1]) << 8 |
           uint32_t(abi[offset + 2]) << 16 | uint32_t(abi[offset + 3]) << 24;
}
