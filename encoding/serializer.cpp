#include "host/serializer.hpp"

namespace {
// Places `value` under a one- or two-key path; other path lengths write nothing.
template <typename V> void put(json &j, const tdSerializer::Keys &keys, V &&value)
{
    const char *const *key = keys.begin();
    switch (keys.size()) {
    case 1:
        j[key[0]] = std::forward<V>(value);
        break;
    case 2:
        j[key[0]][key[1]] = std::forward<V>(value);
        break;
    default:
        break;
    }
}
} // namespace

void tdSerializer::serialize(json &j, const Keys &keys, const std::string &value) const
{
    if (!value.empty())
        put(j, keys, value);
}

void tdSerializer::serialize(json &j, const Keys &keys, const char *value) const
{
    put(j, keys, value);
}

void tdSerializer::serialize(json &j, const Keys &keys, const std::vector<std::string> &value,
                             const std::string &) const
{
    if (!value.empty())
        put(j, keys, value);
}

void tdSerializer::serialize(json &j, const Keys &keys, const json &value) const
{
    if (value.is_null() || ((value.is_array() || value.is_object()) && value.empty()))
        return;
    put(j, keys, value);
}

void tdSerializer::serialize(json &j, const Keys &keys, bool value) const { put(j, keys, value); }

void tdSerializer::serialize(json &j, const Keys &keys, uint8_t value) const
{
    put(j, keys, value);
}

void tdSerializer::serialize(json &j, const Keys &keys, uint16_t value) const
{
    put(j, keys, value);
}

void tdSerializer::serialize(json &j, const Keys &keys, uint32_t value) const
{
    put(j, keys, value);
}

void tdSerializer::serialize(json &j, const Keys &keys, uint64_t value) const
{
    put(j, keys, value);
}

void tdSerializer::serialize(json &j, const Keys &keys, double value) const { put(j, keys, value); }
