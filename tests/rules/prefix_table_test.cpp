#include "rules/prefix_table.hpp"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace
{
constexpr size_t NONE = tfaPrefixTable::NONE;

TEST(PrefixTable, RefusesWhatIsNoNetwork)
{
    for (const char *text : {"", "10.0.0", "10.0.0.0/", "10.0.0.0/33", "10.0.0.0/-1", "10.0.0.0/8x",
                             "fe80::/129", "fe80::1%eth0", "00:11:22:33:44:55", "10.0.0.0/ 8"}) {
        SCOPED_TRACE(text);
        tfaPrefixTable table;
        EXPECT_FALSE(table.Insert(text, 0));
        EXPECT_TRUE(table.Empty());
    }
}

TEST(PrefixTable, FindsTheEarliestNetworkHoldingTheAddress)
{
    tfaPrefixTable table;
    const std::vector<std::string> networks = {
        "192.0.2.99/24", "10.1.2.3", "10.0.0.0/8", "10.1.0.0/16", "0.0.0.0/0",
        "2001:db8::/32", "2001:db8::1", "::ffff:0:0/96", "2001:db8:ffff::/48", "10.1.2.3/32",
    };
    for (size_t position = 0; position < networks.size(); position++)
        ASSERT_TRUE(table.Insert(networks[position], position)) << networks[position];

    struct Row {
        const char *address;
        size_t expected;
    };
    const std::vector<Row> rows = {
        {"192.0.2.1", 0},        // bits past the length are ignored
        {"192.0.3.1", 4},        // only the default route
        {"10.1.2.3", 1},         // the host itself, before its networks
        {"10.1.2.4", 2},         // the /8 listed before the /16
        {"2001:db8::1", 5},      // the /32 listed before the host
        {"2001:db8:ffff::7", 5}, // the /48 listed after the /32
        {"2001:db9::1", NONE},
        {"::ffff:192.0.2.1", 7}, // mapped addresses are IPv6
        {"::1", NONE},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.address);
        tdAddr addr;
        tdAddr::Create(addr, row.address);
        EXPECT_EQ(table.Find(addr), row.expected);
    }
    EXPECT_EQ(table.Find(tdAddr()), NONE);
}
} // namespace
