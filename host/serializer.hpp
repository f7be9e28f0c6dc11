#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "host/json.hpp"

// Writes a value into a JSON object under a one- or two-key path, skipping values that carry no
// information (empty strings, empty string lists, null or empty JSON). Paths of any other length
// write nothing, and a skipped value never creates the first-level object. A two-key write into a
// first-level member that is not an object fails with the JSON library's type error.
class tdSerializer
{
public:
    // The path as written at the call, {"ssl", "version"}: the keys are borrowed, never copied,
    // so naming a member allocates nothing beyond the key the JSON object itself stores.
    using Keys = std::initializer_list<const char *>;

    void serialize(json &j, const Keys &keys, const std::string &value) const;
    void serialize(json &j, const Keys &keys, const char *value) const;
    // The second string argument is accepted for the host's signature and not used.
    void serialize(json &j, const Keys &keys, const std::vector<std::string> &value,
                   const std::string &unused = std::string()) const;
    void serialize(json &j, const Keys &keys, const json &value) const;
    void serialize(json &j, const Keys &keys, bool value) const;
    void serialize(json &j, const Keys &keys, uint8_t value) const;
    void serialize(json &j, const Keys &keys, uint16_t value) const;
    void serialize(json &j, const Keys &keys, uint32_t value) const;
    void serialize(json &j, const Keys &keys, uint64_t value) const;
    void serialize(json &j, const Keys &keys, double value) const;
};
