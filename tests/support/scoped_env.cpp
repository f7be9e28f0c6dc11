#include "support/scoped_env.hpp"

#include <cstdlib>

ScopedEnv::ScopedEnv(const std::string &name, const std::string &value) : name(name)
{
    if (const char *old = getenv(name.c_str()))
        previous = old;
    setenv(name.c_str(), value.c_str(), 1);
}

ScopedEnv::~ScopedEnv()
{
    if (previous)
        setenv(name.c_str(), previous->c_str(), 1);
    else
        unsetenv(name.c_str());
}
