#include "rules/prefix_table.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <charconv>
#include <cstring>

namespace
{
constexpr size_t IPV4_BYTES = sizeof(in_addr);
constexpr size_t IPV6_BYTES = sizeof(in6_addr);
constexpr unsigned BITS_PER_BYTE = 8;
constexpr char LENGTH_SEPARATOR = '/';

bool ReadLength(const std::string &text, unsigned max, unsigned &length)
{
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    auto result = std::from_chars(text.data(), text.data() + text.size(), length);
    return result.ec == std::errc() && length <= max;
}
} // namespace

bool tfaPrefixTable::Insert(const std::string &network, size_t position)
{
    size_t slash = network.find(LENGTH_SEPARATOR);
    std::string address = network.substr(0, slash);
    uint8_t bytes[IPV6_BYTES];
    Family family;
    size_t width;
    if (inet_pton(AF_INET, address.c_str(), bytes) == 1) {
        family = IPV4;
        width = IPV4_BYTES;
    } else if (inet_pton(AF_INET6, address.c_str(), bytes) == 1) {
        family = IPV6;
        width = IPV6_BYTES;
    } else
        return false;

    unsigned length = width * BITS_PER_BYTE;
    if (slash != std::string::npos && !ReadLength(network.substr(slash + 1), length, length))
        return false;

    auto &networks = LevelFor(family, length).networks;
    auto inserted = networks.emplace(Masked(bytes, width, length), position);
    if (!inserted.second)
        inserted.first->second = std::min(inserted.first->second, position);
    return true;
}

size_t tfaPrefixTable::Find(const tdAddr &addr) const
{
    if (Empty())
        return NONE;
    if (addr.IsIPv4())
        return FindIn(IPV4, reinterpret_cast<const uint8_t *>(&addr.addr.in.sin_addr), IPV4_BYTES);
    if (addr.IsIPv6())
        return FindIn(IPV6, reinterpret_cast<const uint8_t *>(&addr.addr.in6.sin6_addr), IPV6_BYTES);
    return NONE;
}

size_t tfaPrefixTable::FindIn(Family family, const uint8_t *bytes, size_t width) const
{
    size_t earliest = NONE;
    for (const auto &level : levels[family]) {
        auto found = level.networks.find(Masked(bytes, width, level.length));
        if (found != level.networks.end())
            earliest = std::min(earliest, found->second);
    }
    return earliest;
}

tfaPrefixTable::Level &tfaPrefixTable::LevelFor(Family family, unsigned length)
{
    auto &list = levels[family];
    auto it = std::find_if(list.begin(), list.end(),
                           [length](const Level &level) { return level.length == length; });
    if (it != list.end())
        return *it;
    list.push_back(Level{length, {}});
    return list.back();
}

// The address's first `length` bits, big-endian in two words, the rest zero.
tfaPrefixTable::Key tfaPrefixTable::Masked(const uint8_t *bytes, size_t width, unsigned length)
{
    uint8_t padded[IPV6_BYTES] = {};
    memcpy(padded, bytes, width);
    uint64_t words[2] = {};
    for (size_t i = 0; i < IPV6_BYTES; i++)
        words[i / 8] = (words[i / 8] << BITS_PER_BYTE) | padded[i];
    auto mask = [](unsigned bits) { return bits == 0 ? 0 : bits >= 64 ? ~0ULL : ~0ULL << (64 - bits); };
    Key key;
    key.high = words[0] & mask(std::min(length, 64u));
    key.low = words[1] & mask(length > 64 ? length - 64 : 0);
    return key;
}

size_t tfaPrefixTable::KeyHash::operator()(const Key &key) const
{
    // splitmix64's finaliser over both words: addresses of one network differ in few bits.
    uint64_t x = key.high ^ (key.low + 0x9e3779b97f4a7c15ULL + (key.high << 6));
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return static_cast<size_t>(x ^ (x >> 31));
}
