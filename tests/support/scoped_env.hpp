#pragma once

#include <optional>
#include <string>

// Sets an environment variable for the lifetime of the object and then restores what was there,
// so that a failed assertion does not leak the setting into the next test.
class ScopedEnv
{
public:
    ScopedEnv(const std::string &name, const std::string &value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    std::string name;
    std::optional<std::string> previous;
};
