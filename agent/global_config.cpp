#include "host/global_config.hpp"

#include "host/exception.hpp"

tdGlobalConfig *tdGlobalConfig::instance = nullptr;

tdGlobalConfig::tdGlobalConfig() { instance = this; }

tdGlobalConfig::~tdGlobalConfig()
{
    if (instance == this)
        instance = nullptr;
}

tdGlobalConfig &tdGlobalConfig::GetInstance()
{
    if (instance == nullptr)
        throw tdException("%s: instance not found", "tdGlobalConfig");
    return *instance;
}
