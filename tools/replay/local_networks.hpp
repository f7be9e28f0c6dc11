#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The networks a capture's local side lives on, as IPv4 and IPv6 prefixes.
class tfaLocalNetworks
{
public:
    // Without networks given: the private ranges (10/8, 172.16/12, 192.168/16, fc00::/7), the
    // link-local ranges (169.254/16, fe80::/10) and loopback (127/8, ::1), none of which is
    // routed beyond a site.
    static const std::vector<std::string> &DefaultNetworks();

    // Parses "ADDRESS/PREFIX" texts (a bare address is a network of one). Throws tdException
    // "--local-net: expected an address and prefix length: <text>" for a malformed one.
    static std::unique_ptr<tfaLocalNetworks> Create(const std::vector<std::string> &networks);

    // True when the address (4 bytes for version 4, 16 for version 6) lies on a local network.
    bool Contains(uint8_t ip_version, const uint8_t *address) const;

private:
    struct Network {
        uint8_t ip_version;
        uint8_t bytes[16];
        unsigned prefix;
    };

    explicit tfaLocalNetworks(std::vector<Network> networks);
    static bool Parse(const std::string &text, Network &network);

    std::vector<Network> networks;
};
