#include "host/instance.hpp"

#include "host/exception.hpp"

tdInstance *tdInstance::instance = nullptr;

tdInstance::tdInstance(const std::string &tag) : tag(tag) { instance = this; }

tdInstance::~tdInstance()
{
    if (instance == this)
        instance = nullptr;
}

tdInstance &tdInstance::GetInstance()
{
    if (instance == nullptr)
        throw tdException("%s: instance not found", "tdInstance");
    return *instance;
}
