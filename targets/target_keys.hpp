#pragma once

#include "host/json.hpp"

#include <cstdint>
#include <string>

// Reads a target's keys first from its type defaults and then from the target's own object, so
// the target's value wins. A value of the wrong type in either throws tdException naming the
// target and the key; a missing key leaves the value as it was. Either object may be null.
class tfaTargetKeys
{
public:
    tfaTargetKeys(const std::string &owner, const json &type_config, const json &target_config)
        : owner(owner), configs{&type_config, &target_config}
    {
    }

    void String(const char *key, std::string &value) const;
    void Bool(const char *key, bool &value) const;
    // Booleans count as 0 and 1; numbers outside the unsigned 32-bit range are refused rather
    // than wrapped into a different value, and fractions are cut.
    void Unsigned(const char *key, uint32_t &value) const;
    // Reads `key` from the target's own object only; a missing key throws.
    void RequiredTargetString(const char *key, std::string &value) const;

private:
    const json &Checked(const json &value, bool valid, const char *type, const char *key) const;
    uint32_t ToUnsigned(const json &value, const char *key) const;

    const std::string &owner;
    const json *configs[2];
};
