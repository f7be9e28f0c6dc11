#pragma once

#include <cstdint>
#include <string>

#include "host/plugin.hpp"

// Loads a plug-in library the way the host does: dlopen, check the exported ABI record against
// the host's own, then find the entry. The library stays loaded while the loader lives, so every
// plug-in object made through Init() must be destroyed before the loader.
class tdPluginLoader
{
public:
    // Throws tdException naming the library and the field at fault.
    explicit tdPluginLoader(const std::string &library);
    ~tdPluginLoader();

    tdPluginLoader(const tdPluginLoader &) = delete;
    tdPluginLoader &operator=(const tdPluginLoader &) = delete;

    // Calls the library's tdPluginInit; null when the plug-in refused (it says why).
    tdPluginProcessor *Init(const std::string &tag, const tdPlugin::Params &params);

    // Reads the record's little-endian 32-bit field at `offset`.
    uint32_t GetABIField(size_t offset) const;

private:
    std::string library;
    void *handle = nullptr;
    const unsigned char *abi = nullptr;
    tdPluginInitFunc init = nullptr;
};
