#include "sim/pf/pfsim.hpp"
#include "support/capture.hpp"
#include "targets/pf/pf_device.hpp"
#include "targets/pf/pfr_buf.hpp"
#include "targets/pf/pfvar.hpp"
#include "targets/pf/table.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace
{

class PFTable : public ::testing::Test
{
protected:
    void SetUp() override
    {
        pfsim::Reset();
        pfsim::RegisterDevice("/dev/pf");
        fd = pf_open("/dev/pf", O_RDWR);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(pfctl_init_table(&table, "*", "t", 0));
        pfr_table created = table;
        created.pfrt_flags = PFR_TFLAG_PERSIST;
        ASSERT_EQ(pfr_add_tables(fd, &created, 1, nullptr), 0);
    }
    void TearDown() override { pfsim::Reset(); }

    // `count` consecutive IPv4 hosts from 10.0.0.1, added with zero time `tzero`.
    void Fill(int count, int64_t tzero)
    {
        std::vector<pfr_addr> addrs(static_cast<size_t>(count));
        for (int i = 0; i < count; i++) {
            addrs[i].pfra_af = AF_INET;
            addrs[i].pfra_net = 32;
            addrs[i].pfra_ip4addr.s_addr = htonl(0x0a000001U + static_cast<uint32_t>(i));
        }
        pfsim::SetClock(tzero);
        int added = 0;
        ASSERT_EQ(pfr_add_addrs(fd, &table, addrs.data(), count, &added), 0);
        ASSERT_EQ(added, count);
    }

    int fd = -1;
    pfr_table table{};
};

TEST(PFInitTable, FillsWithinPfLimits)
{
    struct Row {
        const char *name;
        std::string anchor;
        std::string table;
        int flags;
        const char *filled_anchor; // null when filling fails
        uint32_t filled_flags;
    } rows[] = {
        {"main ruleset", "*", "t", 0, "", 0},
        {"anchor path", "a/b", "t", 0, "a/b", 0},
        {"flags", "*", "t", PFR_TFLAG_PERSIST | PFR_TFLAG_COUNTERS, "", 0x41},
        {"negative flags ignored", "*", "t", -1, "", 0},
        {"anchor of 1023", std::string(1023, 'a'), "t", 0, "", 0},
        {"anchor of 1024", std::string(1024, 'a'), "t", 0, nullptr, 0},
        {"name of 31", "*", std::string(31, 'n'), 0, "", 0},
        {"name of 32", "*", std::string(32, 'n'), 0, nullptr, 0},
        {"name with NUL", "*", std::string("t\0u", 3), 0, nullptr, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        LogCapture capture;
        pfr_table table;
        memset(&table, 0xff, sizeof(table));
        bool filled = pfctl_init_table(&table, row.anchor, row.table, row.flags);
        if (row.filled_anchor == nullptr) {
            EXPECT_FALSE(filled);
            EXPECT_EQ(errno, EINVAL);
            EXPECT_EQ(capture.DebugLines(),
                      std::vector<std::string>{"pfctl_init_table: strlcpy: " + row.anchor + ": " +
                                               row.table.c_str() + "\n"});
            continue;
        }
        ASSERT_TRUE(filled);
        EXPECT_EQ(table.pfrt_anchor, row.anchor == "*" ? std::string() : row.anchor);
        EXPECT_EQ(table.pfrt_name, row.table);
        EXPECT_EQ(table.pfrt_flags, row.filled_flags);
        EXPECT_EQ(table.pfrt_fback, 0);
        EXPECT_TRUE(capture.DebugLines().empty());
    }
}

TEST(PFBuf, GrowsGeometricallyOrToTheRequiredSize)
{
    struct Row {
        const char *name;
        int capacity_before;
        int required;
        int capacity_after;
    } rows[] = {
        {"first, nothing required", 0, 0, 64},   {"first, little required", 0, 10, 64},
        {"first, much required", 0, 100, 100},   {"doubling", 64, 0, 128},
        {"already large enough", 128, 100, 128}, {"to the required size", 64, 65, 65},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        pfr_buf buf = {BUF_ASTATS, 0, 0, nullptr};
        ASSERT_EQ(pfr_buf_grow(&buf, row.capacity_before), 0);
        if (row.capacity_before == 0)
            pfr_buf_clear(&buf);
        ASSERT_EQ(pfr_buf_grow(&buf, row.required), 0);
        EXPECT_EQ(buf.capacity, row.capacity_after);
        const auto *bytes = static_cast<const unsigned char *>(buf.storage);
        for (size_t i = 0; i < static_cast<size_t>(buf.capacity) * sizeof(pfr_astats); i++)
            ASSERT_EQ(bytes[i], 0) << i;
        pfr_buf_clear(&buf);
        EXPECT_EQ(buf.storage, nullptr);
    }
}

TEST(PFBuf, AddCopiesElementsAndRefusesBadArguments)
{
    pfr_buf buf = {BUF_ADDRS, 0, 0, nullptr};
    pfr_addr addr{};
    for (int i = 0; i < 65; i++) {
        addr.pfra_net = static_cast<uint8_t>(i);
        ASSERT_EQ(pfr_buf_add(&buf, &addr), 0);
    }
    EXPECT_EQ(buf.count, 65);
    EXPECT_EQ(buf.capacity, 128);
    EXPECT_EQ(static_cast<pfr_addr *>(pfr_buf_at(&buf, 64))->pfra_net, 64);
    pfr_buf_clear(&buf);

    pfr_buf unknown = {BUF_TRANS + 1, 0, 0, nullptr};
    pfr_buf inconsistent = {BUF_ADDRS, 5, 0, nullptr};
    struct Row {
        const char *name;
        pfr_buf *buf;
        const void *element;
    } rows[] = {{"no buffer", nullptr, &addr},
                {"unknown kind", &unknown, &addr},
                {"count past capacity", &inconsistent, &addr},
                {"no element", &buf, nullptr}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        LogCapture capture;
        EXPECT_EQ(pfr_buf_add(row.buf, row.element), -1);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(capture.DebugLines(),
                  std::vector<std::string>{"pfr_buf_add: Invalid argument\n"});
    }
}

TEST_F(PFTable, StatisticsReadGrowsToTheCountPfReports)
{
    struct Row {
        int entries;
        uint64_t requests;
        int capacity;
    } rows[] = {{0, 1, 64}, {1, 1, 64}, {64, 1, 64}, {65, 2, 65}, {100, 2, 100}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.entries);
        ASSERT_EQ(pfr_clr_addrs(fd, &table, nullptr), 0);
        Fill(row.entries, 1000 + row.entries);
        uint64_t before = pfsim::Requests(pfsim::Request::GET_ASTATS);

        pfr_buf buf = {BUF_ASTATS, 0, 0, nullptr};
        ASSERT_EQ(pfr_get_astats(fd, &table, &buf), 0);
        EXPECT_EQ(pfsim::Requests(pfsim::Request::GET_ASTATS) - before, row.requests);
        EXPECT_EQ(buf.capacity, row.capacity);
        ASSERT_EQ(buf.count, row.entries);
        for (int i = 0; i < buf.count; i++) {
            const auto *stat = static_cast<const pfr_astats *>(pfr_buf_at(&buf, i));
            ASSERT_EQ(ntohl(stat->pfras_a.pfra_ip4addr.s_addr), 0x0a000001U + i);
            ASSERT_EQ(stat->pfras_tzero, 1000 + row.entries);
        }
        pfr_buf_clear(&buf);
    }
}

TEST_F(PFTable, FailedStatisticsReadLeavesNothing)
{
    Fill(3, 1000);
    struct Row {
        const char *name;
        const char *table;
        int fault;
        std::string message;
    } rows[] = {
        {"missing table", "none", 0, "pfr_get_astats: DIOCRGETASTATS: No such process\n"},
        {"failing request", "t", EIO, "pfr_get_astats: DIOCRGETASTATS: Input/output error\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        LogCapture capture;
        pfr_table named;
        ASSERT_TRUE(pfctl_init_table(&named, "*", row.table, 0));
        pfsim::FailNext(pfsim::Request::GET_ASTATS, row.fault);
        pfr_buf buf = {BUF_ASTATS, 0, 0, nullptr};
        EXPECT_EQ(pfr_get_astats(fd, &named, &buf), -1);
        EXPECT_EQ(buf.count, 0);
        EXPECT_EQ(capture.DebugLines(), std::vector<std::string>{row.message});
        pfr_buf_clear(&buf);
    }
}

TEST_F(PFTable, RequestsRefuseBadArgumentsAndKeepOutValuesOnFailure)
{
    pfr_addr addr{};
    struct Row {
        const char *name;
        std::function<int(int *)> call;
        std::string message;
        int error;
    } rows[] = {
        {"delete with negative count",
         [&](int *out) { return pfr_del_addrs(fd, &table, &addr, -1, out); },
         "pfr_del_addrs: Invalid argument\n", EINVAL},
        {"delete without addresses",
         [&](int *out) { return pfr_del_addrs(fd, &table, nullptr, 1, out); },
         "pfr_del_addrs: Invalid argument\n", EINVAL},
        {"delete without table",
         [&](int *out) { return pfr_del_addrs(fd, nullptr, &addr, 1, out); },
         "pfr_del_addrs: Invalid argument\n", EINVAL},
        {"add without addresses",
         [&](int *out) { return pfr_add_addrs(fd, &table, nullptr, 2, out); },
         "pfr_add_addrs: Invalid argument\n", EINVAL},
        {"add of an invalid record",
         [&](int *out) { return pfr_add_addrs(fd, &table, &addr, 1, out); },
         "pfr_add_addrs: DIOCRADDADDRS: Invalid argument\n", EINVAL},
        {"delete of an invalid record",
         [&](int *out) { return pfr_del_addrs(fd, &table, &addr, 1, out); },
         "pfr_del_addrs: DIOCRDELADDRS: Invalid argument\n", EINVAL},
        {"clear on a closed descriptor", [&](int *out) { return pfr_clr_addrs(-1, &table, out); },
         "pfr_clr_addrs: DIOCRCLRADDRS: Bad file descriptor\n", EBADF},
        {"table add on a closed descriptor",
         [&](int *out) { return pfr_add_tables(-1, &table, 1, out); },
         "pfr_add_tables: DIOCRADDTABLES: Bad file descriptor\n", EBADF},
        {"table delete on a closed descriptor",
         [&](int *out) { return pfr_del_tables(-1, &table, 1, out); }, "", EBADF},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        LogCapture capture;
        int out = 77;
        EXPECT_EQ(row.call(&out), -1);
        EXPECT_EQ(errno, row.error);
        EXPECT_EQ(out, 77);
        std::vector<std::string> expected;
        if (!row.message.empty())
            expected.push_back(row.message);
        EXPECT_EQ(capture.DebugLines(), expected);
    }
}

TEST_F(PFTable, RequestsReportPfCounts)
{
    pfr_addr addrs[2] = {};
    for (int i = 0; i < 2; i++) {
        addrs[i].pfra_af = AF_INET;
        addrs[i].pfra_net = 32;
        addrs[i].pfra_ip4addr.s_addr = htonl(0xc0000201U + i);
    }
    int count = 0;
    ASSERT_EQ(pfr_add_addrs(fd, &table, addrs, 2, &count), 0);
    EXPECT_EQ(count, 2);
    ASSERT_EQ(pfr_add_addrs(fd, &table, addrs, 2, &count), 0);
    EXPECT_EQ(count, 0);
    ASSERT_EQ(pfr_del_addrs(fd, &table, addrs, 1, &count), 0);
    EXPECT_EQ(count, 1);
    ASSERT_EQ(pfr_clr_addrs(fd, &table, &count), 0);
    EXPECT_EQ(count, 1);
    ASSERT_EQ(pfr_del_tables(fd, &table, 1, &count), 0);
    EXPECT_EQ(count, 1);
    EXPECT_TRUE(pfsim::ListTables().empty());
}

} // namespace
