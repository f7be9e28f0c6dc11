#include "sim/pf/pfsim.hpp"
#include "support/capture.hpp"
#include "targets/pf/pf_device.hpp"
#include "targets/pf/pfr_buf.hpp"
#include "targets/pf/pfvar.hpp"
#include "targets/pf/ruleset.hpp"
#include "targets/pf/table.hpp"

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace
{

class PFRuleset : public ::testing::Test
{
protected:
    void SetUp() override
    {
        pfsim::Reset();
        pfsim::RegisterDevice("/dev/pf");
        fd = pf_open("/dev/pf", O_RDWR);
        ASSERT_GE(fd, 0);
    }
    void TearDown() override { pfsim::Reset(); }

    void CreateTable(const std::string &anchor)
    {
        pfr_table table;
        ASSERT_TRUE(pfctl_init_table(&table, anchor, "t", PFR_TFLAG_PERSIST));
        ASSERT_EQ(pfr_add_tables(fd, &table, 1, nullptr), 0);
    }

    int fd = -1;
};

TEST_F(PFRuleset, StatusTellsWhetherPfRuns)
{
    bool running = true;
    ASSERT_EQ(pfctl_get_status(fd, &running), 0);
    EXPECT_FALSE(running);
    pfsim::SetRunning(true);
    ASSERT_EQ(pfctl_get_status(fd, &running), 0);
    EXPECT_TRUE(running);
    pfsim::FailNext(pfsim::Request::STATUS, EIO);
    EXPECT_EQ(pfctl_get_status(fd, &running), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(pfctl_get_status(-1, &running), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST_F(PFRuleset, ListsAnchorsUnderAPath)
{
    CreateTable("a/x");
    CreateTable("a/y");
    CreateTable("b");
    uint32_t count = 0;
    ASSERT_EQ(pfctl_get_rulesets(fd, "a", &count), 0);
    ASSERT_EQ(count, 2u);
    char name[64];
    ASSERT_EQ(pfctl_get_ruleset(fd, "a", 1, name, sizeof(name)), 0);
    EXPECT_STREQ(name, "y");
    EXPECT_EQ(pfctl_get_ruleset(fd, "a", 2, name, sizeof(name)), -1);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(pfctl_get_rulesets(fd, "c", &count), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(pfctl_get_rulesets(fd, std::string(1024, 'a').c_str(), &count), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(PFRuleset, AddTransRefusesAnAnchorThatDoesNotFit)
{
    LogCapture capture;
    pfr_buf buf = {BUF_TRANS, 0, 0, nullptr};
    std::string anchor(1024, 'a');
    EXPECT_EQ(pfctl_add_trans(&buf, PF_RULESET_FILTER, anchor.c_str()), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(buf.count, 0);
    EXPECT_EQ(capture.DebugLines(),
              std::vector<std::string>{"pfctl_add_trans: type: 1, anchor: " + anchor +
                                       ": strlcpy: Invalid argument\n"});

    ASSERT_EQ(pfctl_add_trans(&buf, PF_RULESET_FILTER, std::string(1023, 'a').c_str()), 0);
    EXPECT_EQ(static_cast<pfioc_trans_e *>(buf.storage)->rs_num, PF_RULESET_FILTER);
    pfr_buf_clear(&buf);
}

TEST_F(PFRuleset, FlushingAnAnchorCommitsAnEmptyTransaction)
{
    CreateTable("kept");
    struct Row {
        const char *anchor;
        pfsim::Request fault;
        int error;
        std::vector<std::string> anchors_after;
    } rows[] = {
        {"fresh", pfsim::Request::STATUS, 0, {"kept"}},
        {"kept", pfsim::Request::STATUS, 0, {"kept"}},
        {"fresh", pfsim::Request::XBEGIN, EPERM, {"kept"}},
        {"fresh", pfsim::Request::XCOMMIT, EBUSY, {"fresh", "kept"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.anchor) + " " + std::to_string(row.error));
        pfsim::FailNext(row.fault, row.error);
        uint64_t commits = pfsim::Requests(pfsim::Request::XCOMMIT);
        EXPECT_EQ(pfctl_flush_anchor(fd, row.anchor), row.error == 0 ? 0 : -1);
        if (row.error != 0) {
            EXPECT_EQ(errno, row.error);
        }
        EXPECT_EQ(pfsim::Requests(pfsim::Request::XCOMMIT) - commits,
                  row.fault == pfsim::Request::XBEGIN ? 0u : 1u);
        EXPECT_EQ(pfsim::ListAnchors(), row.anchors_after);
    }
}

} // namespace
