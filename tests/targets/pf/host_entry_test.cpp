#include "support/capture.hpp"
#include "targets/pf/host_entry.hpp"
#include "targets/pf/pfr_buf.hpp"
#include "targets/pf/pfvar.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace
{

std::string Text(int family, const void *addr)
{
    char text[INET6_ADDRSTRLEN] = "";
    inet_ntop(family, addr, text, sizeof(text));
    return text;
}

TEST(PFHost, ParsesAndAppendsOnlySingleHosts)
{
    const std::string network_bits = "pfctl_append_host: network bits: Invalid argument\n";
    struct Row {
        const char *text;
        const char *address; // after masking; null when parsing fails
        int family;
        const char *ifname;
        int appended_prefix; // -1 when appending fails
        std::vector<std::string> messages;
    } rows[] = {
        {"192.0.2.7", "192.0.2.7", AF_INET, nullptr, 32, {}},
        {"192.0.2.7/32", "192.0.2.7", AF_INET, nullptr, 32, {}},
        {"2001:db8::1", "2001:db8::1", AF_INET6, nullptr, 128, {}},
        {"2001:db8::1/128", "2001:db8::1", AF_INET6, nullptr, 128, {}},
        {"192.0.2.7@em0", "192.0.2.7", AF_INET, "em0", 32, {}},
        {"192.0.2.7/32@em1", "192.0.2.7", AF_INET, "em1", 32, {}},
        {"192.0.2.7@lo@em1",
         nullptr,
         0,
         nullptr,
         -1,
         {"pfctl_host: IP address not found: 192.0.2.7@lo@em1\n"}},
        {"192.0.2.77/24", "192.0.2.0", AF_INET, nullptr, -1, {network_bits}},
        {"2001:db8::1/64", "2001:db8::", AF_INET6, nullptr, -1, {network_bits}},
        {"10/8", "10.0.0.0", AF_INET, nullptr, -1, {network_bits}},
        {"0.0.0.0/0", "0.0.0.0", AF_INET, nullptr, -1, {network_bits}},
        {"192.0.2.7/64", "192.0.2.7", AF_INET, nullptr, -1, {network_bits}},
        {"192.0.2.7/200", nullptr, 0, nullptr, -1, {"pfctl_host: netmask, too large: /200\n"}},
        {"192.0.2.7/", nullptr, 0, nullptr, -1, {"pfctl_host: netmask, invalid: /\n"}},
        {"192.0.2.7/-1", nullptr, 0, nullptr, -1, {"pfctl_host: netmask, too small: /-1\n"}},
        {"10", nullptr, 0, nullptr, -1, {"pfctl_host: IP address not found: 10\n"}},
        {"localhost", nullptr, 0, nullptr, -1, {"pfctl_host: IP address not found: localhost\n"}},
        {"", nullptr, 0, nullptr, -1, {"pfctl_host: IP address not found: \n"}},
        {"host.invalid/24",
         nullptr,
         0,
         nullptr,
         -1,
         {"pfctl_host_ip: inet_net_pton: host.invalid: No such file or directory\n",
          "pfctl_host: IP address not found: host.invalid/24\n"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text);
        LogCapture capture;
        host_entry *list = pfctl_host(row.text);
        if (row.address == nullptr) {
            EXPECT_EQ(list, nullptr);
            EXPECT_EQ(errno, EINVAL);
            EXPECT_EQ(capture.DebugLines(), row.messages);
            continue;
        }
        ASSERT_NE(list, nullptr);
        EXPECT_EQ(list->next, nullptr);
        EXPECT_EQ(list->af, row.family);
        EXPECT_EQ(Text(list->af, list->addr.octets), row.address);
        EXPECT_EQ(list->ifname == nullptr ? "" : std::string(list->ifname),
                  row.ifname == nullptr ? "" : row.ifname);

        pfr_buf buf = {BUF_ADDRS, 0, 0, nullptr};
        int result = pfctl_append_host(&buf, list);
        pfctl_free_host(list);
        EXPECT_EQ(result, row.appended_prefix < 0 ? -1 : 0);
        if (row.appended_prefix >= 0) {
            ASSERT_EQ(buf.count, 1);
            const auto *addr = static_cast<const pfr_addr *>(buf.storage);
            EXPECT_EQ(addr->pfra_af, row.family);
            EXPECT_EQ(addr->pfra_net, row.appended_prefix);
            EXPECT_EQ(addr->pfra_not, 0);
            EXPECT_EQ(Text(addr->pfra_af, &addr->pfra_u), row.address);
        } else {
            EXPECT_EQ(errno, EINVAL);
            EXPECT_EQ(buf.count, 0);
        }
        EXPECT_EQ(capture.DebugLines(), row.messages);
        pfr_buf_clear(&buf);
    }
}

TEST(PFHost, AppendRefusesAnUnknownFamily)
{
    LogCapture capture;
    host_entry entry{};
    entry.af = AF_UNIX;
    pfr_buf buf = {BUF_ADDRS, 0, 0, nullptr};
    EXPECT_EQ(pfctl_append_host(&buf, &entry), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(capture.DebugLines(),
              std::vector<std::string>{"pfctl_append_host: address family: Invalid argument\n"});
    EXPECT_EQ(buf.storage, nullptr);
}

} // namespace
