#include "targets/target_keys.hpp"

#include "host/exception.hpp"

#include <limits>

namespace
{
const json *Find(const json &config, const char *key)
{
    if (!config.is_object())
        return nullptr;
    auto found = config.find(key);
    return found == config.end() ? nullptr : &*found;
}
} // namespace

void tfaTargetKeys::String(const char *key, std::string &value) const
{
    for (const json *config : configs)
        if (const json *found = Find(*config, key))
            value = Checked(*found, found->is_string(), "string", key).get<std::string>();
}

void tfaTargetKeys::Bool(const char *key, bool &value) const
{
    for (const json *config : configs)
        if (const json *found = Find(*config, key))
            value = Checked(*found, found->is_boolean(), "bool", key).get<bool>();
}

void tfaTargetKeys::Unsigned(const char *key, uint32_t &value) const
{
    for (const json *config : configs)
        if (const json *found = Find(*config, key))
            value = ToUnsigned(*found, key);
}

void tfaTargetKeys::RequiredTargetString(const char *key, std::string &value) const
{
    const json *found = Find(*configs[1], key);
    if (found == nullptr)
        throw tdException("%s: required %s parameter not found: %s", owner.c_str(), "string", key);
    value = Checked(*found, found->is_string(), "string", key).get<std::string>();
}

const json &tfaTargetKeys::Checked(const json &value, bool valid, const char *type,
                                   const char *key) const
{
    if (!valid)
        throw tdException("%s: invalid %s parameter type: %s", owner.c_str(), type, key);
    return value;
}

uint32_t tfaTargetKeys::ToUnsigned(const json &value, const char *key) const
{
    constexpr uint64_t limit = std::numeric_limits<uint32_t>::max();
    bool valid;
    if (value.is_boolean())
        return value.get<bool>() ? 1 : 0;
    if (value.is_number_unsigned())
        valid = value.get<uint64_t>() <= limit;
    else if (value.is_number_integer())
        valid = value.get<int64_t>() >= 0 && value.get<int64_t>() <= static_cast<int64_t>(limit);
    else if (value.is_number_float())
        valid = value.get<double>() >= 0 && value.get<double>() < static_cast<double>(limit) + 1;
    else
        valid = false;
    Checked(value, valid, "unsigned", key);
    return value.is_number_float() ? static_cast<uint32_t>(value.get<double>())
                                   : static_cast<uint32_t>(value.get<uint64_t>());
}
