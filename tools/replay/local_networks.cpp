#include "tools/replay/local_networks.hpp"

#include "host/exception.hpp"

#include <arpa/inet.h>
#include <cstring>

namespace
{
constexpr unsigned IPV4_BITS = 32;
constexpr unsigned IPV6_BITS = 128;
constexpr unsigned BITS_PER_BYTE = 8;
constexpr size_t MAX_PREFIX_DIGITS = 3;

bool ParsePrefix(const std::string &digits, unsigned bits, unsigned &prefix)
{
    if (digits.empty() || digits.size() > MAX_PREFIX_DIGITS ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    prefix = static_cast<unsigned>(std::stoul(digits));
    return prefix <= bits;
}
} // namespace

const std::vector<std::string> &tfaLocalNetworks::DefaultNetworks()
{
    static const std::vector<std::string> networks = {
        "10.0.0.0/8",  "172.16.0.0/12", "192.168.0.0/16", "169.254.0.0/16",
        "127.0.0.0/8", "fc00::/7",      "fe80::/10",      "::1/128",
    };
    return networks;
}

std::unique_ptr<tfaLocalNetworks> tfaLocalNetworks::Create(const std::vector<std::string> &texts)
{
    std::vector<Network> networks;
    for (const auto &text : texts.empty() ? DefaultNetworks() : texts) {
        Network network{};
        if (!Parse(text, network))
            throw tdException("--local-net: expected an address and prefix length: %s",
                              text.c_str());
        networks.push_back(network);
    }
    return std::unique_ptr<tfaLocalNetworks>(new tfaLocalNetworks(std::move(networks)));
}

tfaLocalNetworks::tfaLocalNetworks(std::vector<Network> networks) : networks(std::move(networks))
{
}

bool tfaLocalNetworks::Parse(const std::string &text, Network &network)
{
    size_t slash = text.find('/');
    std::string address = text.substr(0, slash);
    if (inet_pton(AF_INET, address.c_str(), network.bytes) == 1)
        network.ip_version = 4;
    else if (inet_pton(AF_INET6, address.c_str(), network.bytes) == 1)
        network.ip_version = 6;
    else
        return false;
    unsigned bits = network.ip_version == 4 ? IPV4_BITS : IPV6_BITS;
    network.prefix = bits;
    return slash == std::string::npos || ParsePrefix(text.substr(slash + 1), bits, network.prefix);
}

bool tfaLocalNetworks::Contains(uint8_t ip_version, const uint8_t *address) const
{
    for (const auto &network : networks) {
        if (network.ip_version != ip_version)
            continue;
        size_t whole = network.prefix / BITS_PER_BYTE;
        unsigned rest = network.prefix % BITS_PER_BYTE;
        if (memcmp(network.bytes, address, whole) != 0)
            continue;
        auto mask = static_cast<uint8_t>(0xff << (BITS_PER_BYTE - rest));
        if (rest == 0 || ((network.bytes[whole] ^ address[whole]) & mask) == 0)
            return true;
    }
    return false;
}
