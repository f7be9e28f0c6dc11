#include "tools/replay/local_networks.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace
{
bool Contains(const tfaLocalNetworks &networks, const std::string &text)
{
    uint8_t bytes[16] = {};
    if (inet_pton(AF_INET, text.c_str(), bytes) == 1)
        return networks.Contains(4, bytes);
    EXPECT_EQ(inet_pton(AF_INET6, text.c_str(), bytes), 1) << text;
    return networks.Contains(6, bytes);
}

TEST(LocalNetworks, PrefixesDecide)
{
    struct Row {
        std::vector<std::string> networks;
        const char *address;
        bool local;
    };
    const Row rows[] = {
        {{}, "192.168.77.10", true},
        {{}, "172.31.255.255", true},
        {{}, "172.32.0.1", false},
        {{}, "198.51.100.7", false},
        {{}, "fd00:77::10", true},
        {{}, "fe80::1", true},
        {{}, "2001:db8::1", false},
        {{"198.51.100.0/25"}, "198.51.100.127", true},
        {{"198.51.100.0/25"}, "198.51.100.128", false},
        {{"198.51.100.0/25"}, "192.168.1.1", false}, // given networks replace the defaults
        {{"2001:db8:0:8000::/49"}, "2001:db8:0:8000::1", true},
        {{"2001:db8:0:8000::/49"}, "2001:db8:0:7fff::1", false},
        {{"192.0.2.1"}, "192.0.2.1", true},
        {{"192.0.2.1"}, "192.0.2.2", false},
        {{"0.0.0.0/0"}, "203.0.113.9", true},
        {{"0.0.0.0/0"}, "2001:db8::1", false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.address) + " in " +
                     (row.networks.empty() ? "defaults" : row.networks[0]));
        EXPECT_EQ(Contains(*tfaLocalNetworks::Create(row.networks), row.address), row.local);
    }
}

TEST(LocalNetworks, MalformedNetworksAreNamed)
{
    for (const char *text : {"192.168.0.0/33", "fd00::/129", "10.0.0.0/", "10.0.0.0/8x",
                             "example.net/8", "10.0.0.0/-1"}) {
        SCOPED_TRACE(text);
        try {
            tfaLocalNetworks::Create({text});
            ADD_FAILURE() << "accepted";
        } catch (const std::exception &e) {
            EXPECT_EQ(e.what(),
                      std::string("--local-net: expected an address and prefix length: ") + text);
        }
    }
}
} // namespace
