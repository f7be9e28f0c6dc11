#pragma once

#include "host/exception.hpp"
#include "host/json.hpp"

#include <cstdint>
#include <limits>
#include <string>

// Reads a key first from the type defaults and then from the target's own object, so that the
// target's value wins; a value of the wrong type in either throws.
class tfaKeyReader
{
public:
    tfaKeyReader(const std::string &owner, const json &type_config, const json &target_config)
        : owner(owner), configs{&type_config, &target_config}
    {
    }

    void String(const char *key, std::string &value) const
    {
        for (const json *config : configs)
            if (const json *found = Find(*config, key))
                value = Checked(*found, found->is_string(), "string", key).get<std::string>();
    }

    void Bool(const char *key, bool &value) const
    {
        for (const json *config : configs)
            if (const json *found = Find(*config, key))
                value = Checked(*found, found->is_boolean(), "bool", key).get<bool>();
    }

    // Booleans count as 0 and 1; numbers outside the unsigned 32-bit range are refused rather
    // than wrapped into a different value.
    void Unsigned(const char *key, uint32_t &value) const
    {
        for (const json *config : configs)
            if (const json *found = Find(*config, key))
                value = ToUnsigned(*found, key);
    }

    // Reads `key` from the target's own object only.
    void RequiredTargetString(const char *key, std::string &value) const
    {
        const json *found = Find(*configs[1], key);
        if (found == nullptr)
            throw tdException("%s: required %s parameter not found: %s", owner.c_str(), "string",
                              key);
        value = Checked(*found, found->is_string(), "string", key).get<std::string>();
    }

private:
    static const json *Find(const json &config, const char *key)
    {
        if (!config.is_object())
            return nullptr;
        auto found = config.find(key);
        return found == config.end() ? nullptr : &*found;
    }

    const json &Checked(const json &value, bool valid, const char *type, const char *key) const
    {
        if (!valid)
            throw tdException("%s: invalid %s parameter type: %s", owner.c_str(), type, key);
        return value;
    }

    uint32_t ToUnsigned(const json &value, const char *key) const
    {
        constexpr uint64_t limit = std::numeric_limits<uint32_t>::max();
        bool valid;
        if (value.is_boolean())
            return value.get<bool>() ? 1 : 0;
        if (value.is_number_unsigned())
            valid = value.get<uint64_t>() <= limit;
        else if (value.is_number_integer())
            valid =
                value.get<int64_t>() >= 0 && value.get<int64_t>() <= static_cast<int64_t>(limit);
        else if (value.is_number_float())
            valid =
                value.get<double>() >= 0 && value.get<double>() < static_cast<double>(limit) + 1;
        else
            valid = false;
        Checked(value, valid, "unsigned", key);
        return value.is_number_float() ? static_cast<uint32_t>(value.get<double>())
                                       : static_cast<uint32_t>(value.get<uint64_t>());
    }

    const std::string &owner;
    const json *configs[2];
};
