#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "host/addr.hpp"

namespace {
TEST(AddrString, Forms)
{
    struct Row {
        const char *text;
        uint16_t port;
        const char *plain;
        const char *with_port;
    };
    const Row rows[] = {
        {"192.0.2.7", 443, "192.0.2.7", "192.0.2.7:443"},
        {"2001:db8::1", 53, "2001:db8::1", "[2001:db8::1]:53"},
        {"00:11:22:AA:bb:cc", 0, "00:11:22:aa:bb:cc", "00:11:22:aa:bb:cc"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text);
        tdAddr addr;
        ASSERT_TRUE(tdAddr::Create(addr, row.text));
        addr.SetPort(row.port);
        EXPECT_EQ(addr.GetString(), row.plain);
        EXPECT_EQ(addr.GetString(tdAddr::MakeFlags::PORT), row.with_port);
    }
    EXPECT_EQ(tdAddr().GetString(), "");
}

// The cache is observed by changing the address behind it: a cached text stays stale until the
// flags change.
TEST(AddrString, RendersOnlyWhenFlagsChange)
{
    tdAddr addr;
    ASSERT_TRUE(tdAddr::Create(addr, "192.0.2.1"));
    const std::string &first = addr.GetString();
    EXPECT_EQ(first, "192.0.2.1");
    inet_pton(AF_INET, "192.0.2.2", &addr.addr.in.sin_addr);
    EXPECT_EQ(addr.GetString(), "192.0.2.1");
    EXPECT_EQ(&addr.GetString(), &first);
    EXPECT_EQ(addr.GetString(tdAddr::MakeFlags::PORT), "192.0.2.2:0");
    inet_pton(AF_INET, "192.0.2.3", &addr.addr.in.sin_addr);
    EXPECT_EQ(addr.GetString(), "192.0.2.3");
}
} // namespace
