#pragma once

#include "host/addr.hpp"

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

// Networks mapped to the earliest position of a list that names them. A lookup returns the
// earliest position among every network that holds the address, at the cost of one hash lookup
// per distinct prefix length, however many networks there are. IPv4 and IPv6 are kept apart: an
// IPv4 address is never inside an IPv6 network.
class tfaPrefixTable
{
public:
    static constexpr size_t NONE = SIZE_MAX;

    // Reads "A.B.C.D", an IPv6 address, either with "/length"; bits past the length are
    // ignored. False, and nothing added, for any other text.
    bool Insert(const std::string &network, size_t position);
    // The earliest position whose network holds `addr`, or NONE (also for an address that is
    // neither IPv4 nor IPv6).
    size_t Find(const tdAddr &addr) const;
    bool Empty() const { return levels[IPV4].empty() && levels[IPV6].empty(); }

private:
    enum Family { IPV4 = 0, IPV6 = 1, FAMILIES = 2 };
    struct Key {
        uint64_t high = 0;
        uint64_t low = 0;
        bool operator==(const Key &other) const { return high == other.high && low == other.low; }
    };
    struct KeyHash {
        size_t operator()(const Key &key) const;
    };
    struct Level {
        unsigned length;
        std::unordered_map<Key, size_t, KeyHash> networks;
    };

    static Key Masked(const uint8_t *bytes, size_t width, unsigned length);
    Level &LevelFor(Family family, unsigned length);
    size_t FindIn(Family family, const uint8_t *bytes, size_t width) const;

    std::vector<Level> levels[FAMILIES];
};
