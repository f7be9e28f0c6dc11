#include <gtest/gtest.h>

#include "host/addr.hpp"

namespace {
TEST(Addr, CreateKinds)
{
    struct Row {
        const char *text;
        bool parsed;
        bool ipv4, ipv6, ethernet;
    };
    const Row rows[] = {
        {"10.1.2.3", true, true, false, false},
        {"::1", true, false, true, false},
        {"fe80::1:2", true, false, true, false},
        {"00-11-22-33-44-55", true, false, false, true},
        {"00:11:22:33:44", false, false, false, false},
        {"00:11:22:33:44:5g", false, false, false, false},
        {"10.0.0.0/8", false, false, false, false},
        {"example.com", false, false, false, false},
        {"", false, false, false, false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text);
        tdAddr addr;
        EXPECT_EQ(tdAddr::Create(addr, row.text), row.parsed);
        EXPECT_EQ(addr.IsSet(), row.parsed);
        EXPECT_EQ(addr.IsIPv4(), row.ipv4);
        EXPECT_EQ(addr.IsIPv6(), row.ipv6);
        EXPECT_EQ(addr.IsEthernet(), row.ethernet);
    }
}

TEST(Addr, EqualityIgnoresPorts)
{
    tdAddr a, b, c, mac;
    tdAddr::Create(a, "192.0.2.1");
    tdAddr::Create(b, "192.0.2.1");
    tdAddr::Create(c, "::ffff:192.0.2.1");
    tdAddr::Create(mac, "00:00:00:00:00:00");
    b.SetPort(8080);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    EXPECT_NE(a, mac);
    EXPECT_EQ(tdAddr(), tdAddr());
    EXPECT_EQ(b.GetPort(true), 8080);
    EXPECT_EQ(b.GetPort(false), htons(8080));
}
} // namespace
