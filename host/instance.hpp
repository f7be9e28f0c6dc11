#pragma once

#include <string>

#include "host/applications.hpp"

// The running host agent. One object at a time is the instance: constructing one installs it,
// destroying it removes it.
class tdInstance
{
public:
    explicit tdInstance(const std::string &tag);
    ~tdInstance();

    tdInstance(const tdInstance &) = delete;
    tdInstance &operator=(const tdInstance &) = delete;

    // Throws tdException "tdInstance: instance not found" when none exists.
    static tdInstance &GetInstance();

    std::string tag;
    tdApplications apps;

private:
    static tdInstance *instance;
};
