#include "sim/pf/pfsim.hpp"
#include "targets/pf/pfvar.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace
{

constexpr char DEVICE[] = "/dev/pf";

pfr_table Table(const std::string &anchor, const std::string &name, uint32_t flags = 0)
{
    pfr_table table{};
    memcpy(table.pfrt_anchor, anchor.data(), std::min(anchor.size(), sizeof(table.pfrt_anchor)));
    memcpy(table.pfrt_name, name.data(), std::min(name.size(), sizeof(table.pfrt_name)));
    table.pfrt_flags = flags;
    return table;
}

pfr_addr Addr(const char *text, int net = -1)
{
    pfr_addr addr{};
    if (inet_pton(AF_INET, text, &addr.pfra_ip4addr) == 1) {
        addr.pfra_af = AF_INET;
        addr.pfra_net = static_cast<uint8_t>(net < 0 ? 32 : net);
    } else {
        EXPECT_EQ(inet_pton(AF_INET6, text, &addr.pfra_ip6addr), 1) << text;
        addr.pfra_af = AF_INET6;
        addr.pfra_net = static_cast<uint8_t>(net < 0 ? 128 : net);
    }
    return addr;
}

class PFsim : public ::testing::Test
{
protected:
    void SetUp() override
    {
        pfsim::Reset();
        pfsim::RegisterDevice(DEVICE);
        fd = pfsim::Open(DEVICE, O_RDWR);
        ASSERT_GE(fd, 0);
    }
    void TearDown() override { pfsim::Reset(); }

    // The errno of the request, 0 on success.
    int Request(unsigned long request, void *arg)
    {
        errno = 0;
        return pfsim::Ioctl(fd, request, arg) == 0 ? 0 : errno;
    }

    // `io` keeps its out-fields, so a test can tell whether a failed request wrote them.
    int TableRequest(unsigned long request, pfioc_table &io, const pfr_table &table, void *buffer,
                     int esize, int size, int flags = 0)
    {
        io.pfrio_table = table;
        io.pfrio_buffer = buffer;
        io.pfrio_esize = esize;
        io.pfrio_size = size;
        io.pfrio_flags = flags;
        return Request(request, &io);
    }

    int AddTables(std::vector<pfr_table> tables, int *added = nullptr, int flags = 0)
    {
        pfioc_table io{};
        io.pfrio_nadd = added != nullptr ? *added : 0;
        int error = TableRequest(DIOCRADDTABLES, io, pfr_table{}, tables.data(), sizeof(pfr_table),
                                 static_cast<int>(tables.size()), flags);
        if (added != nullptr)
            *added = io.pfrio_nadd;
        return error;
    }

    int AddAddrs(const pfr_table &table, std::vector<pfr_addr> addrs, int *added = nullptr)
    {
        pfioc_table io{};
        io.pfrio_nadd = added != nullptr ? *added : 0;
        int error = TableRequest(DIOCRADDADDRS, io, table, addrs.data(), sizeof(pfr_addr),
                                 static_cast<int>(addrs.size()));
        if (added != nullptr)
            *added = io.pfrio_nadd;
        return error;
    }

    int Transaction(unsigned long request, std::vector<pfioc_trans_e> &elements)
    {
        pfioc_trans trans{};
        trans.size = static_cast<int>(elements.size());
        trans.esize = sizeof(pfioc_trans_e);
        trans.array = elements.data();
        return Request(request, &trans);
    }

    // Creates a persistent table and returns the record that names it in address requests.
    pfr_table CreateTable(const std::string &anchor, const std::string &name,
                          uint32_t flags = PFR_TFLAG_PERSIST)
    {
        EXPECT_EQ(AddTables({Table(anchor, name, flags)}), 0);
        return Table(anchor, name);
    }

    static pfioc_trans_e Element(int rs, const char *anchor)
    {
        pfioc_trans_e element{};
        element.rs_num = rs;
        strncpy(element.anchor, anchor, sizeof(element.anchor) - 1);
        return element;
    }

    int fd = -1;
};

TEST_F(PFsim, DescriptorsFollowRegistrationAndClose)
{
    errno = 0;
    EXPECT_EQ(pfsim::Open("/dev/other", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(pfsim::OpenDescriptors(), 1u);
    EXPECT_EQ(pfsim::Close(fd), 0);
    EXPECT_EQ(pfsim::Close(fd), -1);
    EXPECT_EQ(errno, EBADF);
    pf_status status{};
    EXPECT_EQ(Request(DIOCGETSTATUS, &status), EBADF);
    EXPECT_EQ(pfsim::Requests(pfsim::Request::STATUS), 0u);
}

TEST_F(PFsim, StatusReportsRunning)
{
    pf_status status;
    memset(&status, 0xff, sizeof(status));
    ASSERT_EQ(Request(DIOCGETSTATUS, &status), 0);
    EXPECT_EQ(status.running, 0u);
    EXPECT_EQ(status.states, 0u);
    pfsim::SetRunning(true);
    ASSERT_EQ(Request(DIOCGETSTATUS, &status), 0);
    EXPECT_EQ(status.running, 1u);
}

TEST_F(PFsim, ReadOnlyDescriptorMayOnlyReadOrDryRun)
{
    fd = pfsim::Open(DEVICE, O_RDONLY);
    pf_status status{};
    EXPECT_EQ(Request(DIOCGETSTATUS, &status), 0);
    EXPECT_EQ(AddTables({Table("", "t")}), EACCES);
    int added = 0;
    EXPECT_EQ(AddTables({Table("", "t")}, &added, PFR_FLAG_DUMMY), 0);
    EXPECT_EQ(added, 1);
    EXPECT_TRUE(pfsim::ListTables().empty());
    EXPECT_EQ(Request(0xC0004401UL, &status), EACCES);
}

TEST_F(PFsim, RequestChecksComeInKernelOrder)
{
    pfioc_table io{};
    std::vector<pfr_table> tables = {Table("", "t")};
    EXPECT_EQ(Request(0xC0004401UL, &io), ENODEV);
    EXPECT_EQ(TableRequest(DIOCRADDTABLES, io, pfr_table{}, tables.data(), 20, 1, 0x7f), ENODEV);
    EXPECT_EQ(TableRequest(DIOCRADDTABLES, io, pfr_table{}, tables.data(), 1064, 65536), ENOMEM);
    EXPECT_EQ(TableRequest(DIOCRADDTABLES, io, pfr_table{}, nullptr, 1064, 1), EFAULT);
    EXPECT_EQ(
        TableRequest(DIOCRADDTABLES, io, pfr_table{}, tables.data(), 1064, 1, PFR_FLAG_ATOMIC),
        EINVAL);
    EXPECT_EQ(TableRequest(DIOCRADDADDRS, io, Table("", "t"), nullptr, 20, -1), EINVAL);
    EXPECT_EQ(TableRequest(DIOCRCLRADDRS, io, Table("", "t"), nullptr, 20, 0), ENODEV);
}

TEST_F(PFsim, TableRecordsAreValidated)
{
    struct Row {
        const char *name;
        pfr_table table;
        int error;
    } rows[] = {
        {"plain", Table("", "t", PFR_TFLAG_PERSIST | PFR_TFLAG_CONST | PFR_TFLAG_COUNTERS), 0},
        {"empty name", Table("", ""), EINVAL},
        {"active flag asked for", Table("", "t", PFR_TFLAG_ACTIVE), EINVAL},
        {"reserved anchor", Table("_pf", "t"), EINVAL},
        {"reserved anchor behind slashes", Table("//_pf", "t"), 0},
        {"empty anchor part", Table("a//b", "t"), ENOMEM},
        {"anchor part of 64", Table(std::string(64, 'a'), "t"), ENOMEM},
        {"anchor part of 63", Table(std::string(63, 'a'), "t"), 0},
    };
    for (auto &row : rows) {
        SCOPED_TRACE(row.name);
        pfsim::Reset();
        pfsim::RegisterDevice(DEVICE);
        fd = pfsim::Open(DEVICE, O_RDWR);
        EXPECT_EQ(AddTables({row.table}), row.error);
        EXPECT_EQ(pfsim::ListTables().size(), row.error == 0 ? 1u : 0u);
    }

    pfr_table unterminated = Table("", "t");
    memset(unterminated.pfrt_name, 'n', sizeof(unterminated.pfrt_name));
    pfr_table trailing = Table("", "t");
    trailing.pfrt_name[5] = 'x';
    pfr_table anchor_trailing = Table("a", "t");
    anchor_trailing.pfrt_anchor[1000] = 'x';
    for (const auto &table : {unterminated, trailing, anchor_trailing})
        EXPECT_EQ(AddTables({table}), EINVAL);
}

TEST_F(PFsim, AddingTablesCountsOnlyNewOnesAndCreatesAnchors)
{
    int added = 99;
    ASSERT_EQ(AddTables({Table("/a/b", "t", PFR_TFLAG_PERSIST), Table("a/b", "t"), Table("", "t")},
                        &added),
              0);
    EXPECT_EQ(added, 2);
    ASSERT_EQ(AddTables({Table("a/b", "t", PFR_TFLAG_CONST)}, &added), 0);
    EXPECT_EQ(added, 0);

    auto tables = pfsim::ListTables();
    ASSERT_EQ(tables.size(), 2u);
    EXPECT_EQ(tables[0].anchor, "");
    EXPECT_EQ(tables[1].anchor, "a/b");
    EXPECT_EQ(tables[1].flags, PFR_TFLAG_PERSIST | PFR_TFLAG_ACTIVE);
    EXPECT_EQ(pfsim::ListAnchors(), (std::vector<std::string>{"a", "a/b"}));

    added = 99;
    EXPECT_EQ(AddTables({Table("", "u"), Table("", "")}, &added), EINVAL);
    EXPECT_EQ(added, 99);
    EXPECT_EQ(pfsim::ListTables().size(), 2u);
}

TEST_F(PFsim, DeletingTablesRemovesEmptyAnchors)
{
    ASSERT_EQ(AddTables({Table("a/b", "t"), Table("a", "u")}), 0);
    std::vector<pfr_table> doomed = {Table("a/b", "t"), Table("a/b", "t"), Table("", "none")};
    pfioc_table io{};
    ASSERT_EQ(TableRequest(DIOCRDELTABLES, io, pfr_table{}, doomed.data(), 1064, 3), 0);
    EXPECT_EQ(io.pfrio_ndel, 1);
    EXPECT_EQ(pfsim::ListAnchors(), std::vector<std::string>{"a"});

    std::vector<pfr_table> invalid = {Table("a", "u"), Table("", "")};
    EXPECT_EQ(TableRequest(DIOCRDELTABLES, io, pfr_table{}, invalid.data(), 1064, 2), EINVAL);
    EXPECT_EQ(pfsim::ListTables().size(), 1u);
}

TEST_F(PFsim, AddressesKeepTheirFirstZeroTime)
{
    pfr_table table = CreateTable("", "t");
    pfsim::SetClock(1000);
    int added = 0;
    ASSERT_EQ(AddAddrs(table, {Addr("192.0.2.2"), Addr("192.0.2.2"), Addr("2001:db8::1")}, &added),
              0);
    EXPECT_EQ(added, 2);
    pfsim::SetClock(2000);
    ASSERT_EQ(AddAddrs(table, {Addr("192.0.2.2"), Addr("10.0.0.0", 8), Addr("192.0.2.1")}, &added),
              0);
    EXPECT_EQ(added, 2);

    auto addresses = pfsim::ListTables().at(0).addresses;
    std::vector<std::string> texts;
    for (const auto &address : addresses)
        texts.push_back(address.address + "@" + std::to_string(address.tzero));
    EXPECT_EQ(texts, (std::vector<std::string>{"10.0.0.0/8@2000", "192.0.2.1@2000",
                                               "192.0.2.2@1000", "2001:db8::1@1000"}));
}

TEST_F(PFsim, AddressRecordsAreValidatedBeforeAnythingIsAdded)
{
    pfr_table table = CreateTable("", "t");
    pfr_addr bits_past_prefix = Addr("192.0.2.1", 24);
    pfr_addr no_family{};
    pfr_addr feedback = Addr("192.0.2.1");
    feedback.pfra_fback = PFR_FB_ADDED;
    pfr_addr negation = Addr("192.0.2.1");
    negation.pfra_not = 2;
    pfr_addr prefix = Addr("192.0.2.1");
    prefix.pfra_net = 33;
    for (const auto &bad : {bits_past_prefix, no_family, feedback, negation, prefix}) {
        int added = 99;
        EXPECT_EQ(AddAddrs(table, {Addr("192.0.2.9"), bad}, &added), EINVAL);
        EXPECT_EQ(added, 99);
    }
    EXPECT_TRUE(pfsim::ListTables().at(0).addresses.empty());
    EXPECT_EQ(AddAddrs(Table("", "missing"), {Addr("192.0.2.9")}), ESRCH);
    EXPECT_EQ(AddAddrs(Table("nowhere", "t"), {Addr("192.0.2.9")}), ESRCH);

    pfr_table constant = CreateTable("", "c", PFR_TFLAG_CONST | PFR_TFLAG_PERSIST);
    EXPECT_EQ(AddAddrs(constant, {Addr("192.0.2.9")}), EPERM);
}

TEST_F(PFsim, EntryLimitFailsTheWholeAdd)
{
    pfr_table table = CreateTable("", "t");
    pfsim::SetEntryLimit(2);
    EXPECT_EQ(AddAddrs(table, {Addr("192.0.2.1"), Addr("192.0.2.2"), Addr("192.0.2.3")}), ENOMEM);
    EXPECT_EQ(AddAddrs(table, {Addr("192.0.2.1"), Addr("192.0.2.2")}), 0);
    EXPECT_EQ(AddAddrs(table, {Addr("192.0.2.1")}), 0);
}

TEST_F(PFsim, FeedbackAndDeletion)
{
    pfr_table table = CreateTable("", "t");
    ASSERT_EQ(AddAddrs(table, {Addr("192.0.2.1"), Addr("192.0.2.2")}), 0);

    std::vector<pfr_addr> addrs = {Addr("192.0.2.1"), Addr("192.0.2.1"), Addr("192.0.2.3")};
    pfioc_table io{};
    ASSERT_EQ(TableRequest(DIOCRDELADDRS, io, table, addrs.data(), 20, 3, PFR_FLAG_FEEDBACK), 0);
    EXPECT_EQ(io.pfrio_ndel, 1);
    EXPECT_EQ(addrs[0].pfra_fback, PFR_FB_DELETED);
    EXPECT_EQ(addrs[1].pfra_fback, PFR_FB_DUPLICATE);
    EXPECT_EQ(addrs[2].pfra_fback, PFR_FB_NONE);

    ASSERT_EQ(TableRequest(DIOCRCLRADDRS, io, table, nullptr, 0, 0, PFR_FLAG_DUMMY), 0);
    EXPECT_EQ(io.pfrio_ndel, 1);
    ASSERT_EQ(TableRequest(DIOCRCLRADDRS, io, table, nullptr, 0, 0), 0);
    EXPECT_EQ(io.pfrio_ndel, 1);
    EXPECT_TRUE(pfsim::ListTables().at(0).addresses.empty());
}

TEST_F(PFsim, ClearingAddressesNeverDeactivatesATable)
{
    pfr_table table = CreateTable("a", "t", 0);
    ASSERT_EQ(AddAddrs(table, {Addr("192.0.2.1")}), 0);
    pfioc_table io{};
    ASSERT_EQ(TableRequest(DIOCRCLRADDRS, io, table, nullptr, 0, 0), 0);
    EXPECT_EQ(io.pfrio_ndel, 1);
    ASSERT_EQ(TableRequest(DIOCRCLRADDRS, io, table, nullptr, 0, 0), 0);
    EXPECT_EQ(io.pfrio_ndel, 0);

    auto tables = pfsim::ListTables();
    ASSERT_EQ(tables.size(), 1u);
    EXPECT_EQ(tables[0].flags, PFR_TFLAG_ACTIVE);
    EXPECT_EQ(pfsim::ListAnchors(), std::vector<std::string>{"a"});
    EXPECT_EQ(AddAddrs(table, {Addr("192.0.2.2")}), 0);
}

TEST_F(PFsim, StatisticsReportTheRealCountWhenTheBufferIsSmall)
{
    pfr_table table = CreateTable("", "t");
    pfsim::SetClock(42);
    ASSERT_EQ(AddAddrs(table, {Addr("2001:db8::1"), Addr("192.0.2.9"), Addr("192.0.2.1")}), 0);

    std::vector<pfr_astats> stats(3);
    memset(stats.data(), 0xee, stats.size() * sizeof(pfr_astats));
    pfioc_table io{};
    ASSERT_EQ(TableRequest(DIOCRGETASTATS, io, table, stats.data(), 96, 2), 0);
    EXPECT_EQ(io.pfrio_size, 3);
    // The short read hands back its whole capacity zeroed, and nothing past it.
    const pfr_astats zero{};
    EXPECT_EQ(memcmp(&stats[0], &zero, sizeof(zero)), 0);
    EXPECT_EQ(memcmp(&stats[1], &zero, sizeof(zero)), 0);
    EXPECT_EQ(stats[2].pfras_a.pfra_af, 0xee);

    ASSERT_EQ(TableRequest(DIOCRGETASTATS, io, table, stats.data(), 96, 3), 0);
    EXPECT_EQ(io.pfrio_size, 3);
    char text[INET6_ADDRSTRLEN];
    std::vector<std::string> order;
    for (const auto &stat : stats) {
        EXPECT_EQ(stat.pfras_tzero, 42);
        EXPECT_EQ(stat.pfras_a.pfra_fback, PFR_FB_NOCOUNT);
        inet_ntop(stat.pfras_a.pfra_af, &stat.pfras_a.pfra_u, text, sizeof(text));
        order.push_back(text);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"192.0.2.1", "192.0.2.9", "2001:db8::1"}));
    EXPECT_EQ(TableRequest(DIOCRGETASTATS, io, table, stats.data(), 96, 3, PFR_FLAG_CLSTATS),
              EINVAL);
}

TEST_F(PFsim, StatisticsOfATableWithCountersCarryNoFeedbackAndFillTheRestWithZeros)
{
    pfr_table table = CreateTable("", "t", PFR_TFLAG_PERSIST | PFR_TFLAG_COUNTERS);
    ASSERT_EQ(AddAddrs(table, {Addr("192.0.2.1")}), 0);
    std::vector<pfr_astats> stats(2);
    memset(stats.data(), 0xee, stats.size() * sizeof(pfr_astats));
    pfioc_table io{};
    ASSERT_EQ(TableRequest(DIOCRGETASTATS, io, table, stats.data(), 96, 2), 0);
    EXPECT_EQ(io.pfrio_size, 1);
    EXPECT_EQ(stats[0].pfras_a.pfra_af, AF_INET);
    EXPECT_EQ(stats[0].pfras_a.pfra_fback, PFR_FB_NONE);
    const pfr_astats zero{};
    EXPECT_EQ(memcmp(&stats[1], &zero, sizeof(zero)), 0);
}

// `parts` anchor names joined by slashes, each of the longest length pf allows (63) but the last,
// which has `last` characters.
std::string LongPath(int parts, size_t last)
{
    std::string path;
    for (int i = 0; i < parts; i++)
        path += (i > 0 ? "/" : "") + std::string(i + 1 < parts ? 63 : last, 'a' + i % 26);
    return path;
}

TEST_F(PFsim, AnchorPathsAreWalkedAsTheKernelWalksThem)
{
    const std::string parent958 = LongPath(15, 62);
    const std::string parent959 = LongPath(15, 63);
    ASSERT_EQ(parent958.size(), 958u);
    ASSERT_EQ(parent959.size(), 959u);
    struct Row {
        const char *name;
        std::string existing; // anchor of a table made first, "" for none
        std::string anchor;
        int error;
        std::vector<std::string> anchors; // checked for short paths
    } rows[] = {
        {"trailing slash names the parent", "", "a/", 0, {"a"}},
        {"trailing slash after an existing anchor", "a", "a/", ENOMEM, {"a"}},
        {"trailing slash below an existing anchor", "a", "a/b/", 0, {"a", "a/b"}},
        {"parent path of 958", "", parent958 + "/x", 0, {}},
        {"parent path of 959", "", parent959 + "/x", ENOMEM, {}},
        {"existing parent path of 959", parent959, parent959 + "/x", ENOMEM, {}},
    };
    for (auto &row : rows) {
        SCOPED_TRACE(row.name);
        pfsim::Reset();
        pfsim::RegisterDevice(DEVICE);
        fd = pfsim::Open(DEVICE, O_RDWR);
        if (!row.existing.empty())
            CreateTable(row.existing, "first");
        EXPECT_EQ(AddTables({Table(row.anchor, "t")}), row.error);
        size_t tables = (row.existing.empty() ? 0 : 1) + (row.error == 0 ? 1 : 0);
        EXPECT_EQ(pfsim::ListTables().size(), tables);
        // Long paths: the kernel keeps anchors it made before refusing, the model none.
        if (row.anchor.size() < PF_ANCHOR_NAME_SIZE) {
            EXPECT_EQ(pfsim::ListAnchors(), row.anchors);
        }
    }
}

TEST_F(PFsim, TablesOfOneRequestSeeTheAnchorsOfTheTablesBeforeThem)
{
    EXPECT_EQ(AddTables({Table("a/", "t"), Table("a/", "u")}), ENOMEM);
    EXPECT_TRUE(pfsim::ListTables().empty());
    EXPECT_TRUE(pfsim::ListAnchors().empty());
}

TEST_F(PFsim, RulesetsListChildrenInTreeOrder)
{
    ASSERT_EQ(AddTables({Table("b", "t"), Table("a/y", "t"), Table("a/x", "t")}), 0);
    struct Row {
        const char *path;
        uint32_t count;
        std::vector<std::string> names;
    } rows[] = {{"", 2, {"a", "b"}}, {"/a", 2, {"x", "y"}}, {"a/x", 0, {}}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.path);
        pfioc_ruleset ruleset{};
        strcpy(ruleset.path, row.path);
        ASSERT_EQ(Request(DIOCGETRULESETS, &ruleset), 0);
        EXPECT_EQ(ruleset.nr, row.count);
        for (uint32_t i = 0; i < row.count; i++) {
            ruleset.nr = i;
            ASSERT_EQ(Request(DIOCGETRULESET, &ruleset), 0);
            EXPECT_EQ(ruleset.name, row.names[i]);
        }
        ruleset.nr = row.count;
        EXPECT_EQ(Request(DIOCGETRULESET, &ruleset), EBUSY);
    }
    pfioc_ruleset missing{};
    strcpy(missing.path, "c");
    EXPECT_EQ(Request(DIOCGETRULESETS, &missing), ENOENT);
}

TEST_F(PFsim, TransactionsHandOutTicketsAndCheckThemAtCommit)
{
    std::vector<pfioc_trans_e> elements = {Element(PF_RULESET_SCRUB, "x/y"),
                                           Element(PF_RULESET_FILTER, "x/y")};
    ASSERT_EQ(Transaction(DIOCXBEGIN, elements), 0);
    EXPECT_NE(elements[0].ticket, 0u);
    EXPECT_EQ(pfsim::ListAnchors(), (std::vector<std::string>{"x", "x/y"}));

    std::vector<pfioc_trans_e> wrong = elements;
    wrong[1].ticket++;
    EXPECT_EQ(Transaction(DIOCXCOMMIT, wrong), EBUSY);
    std::vector<pfioc_trans_e> unknown = {Element(PF_RULESET_SCRUB, "z")};
    EXPECT_EQ(Transaction(DIOCXCOMMIT, unknown), EBUSY);
    std::vector<pfioc_trans_e> bad = {Element(PF_RULESET_MAX, "x/y")};
    EXPECT_EQ(Transaction(DIOCXBEGIN, bad), EINVAL);
    std::vector<pfioc_trans_e> bad_path = {Element(PF_RULESET_SCRUB, "x//y")};
    EXPECT_EQ(Transaction(DIOCXBEGIN, bad_path), EINVAL);

    ASSERT_EQ(Transaction(DIOCXCOMMIT, elements), 0);
    EXPECT_TRUE(pfsim::ListAnchors().empty());
    EXPECT_EQ(Transaction(DIOCXCOMMIT, elements), EBUSY);
}

TEST_F(PFsim, TransactionsTakeTheTablesOfAnAnchor)
{
    std::vector<pfioc_trans_e> elements = {Element(PF_RULESET_FILTER, "t/x"),
                                           Element(PF_RULESET_TABLE, "t/x")};
    ASSERT_EQ(Transaction(DIOCXBEGIN, elements), 0);
    EXPECT_NE(elements[1].ticket, 0u);
    EXPECT_EQ(pfsim::ListAnchors(), (std::vector<std::string>{"t", "t/x"}));

    std::vector<pfioc_trans_e> wrong = {elements[1]};
    wrong[0].ticket++;
    EXPECT_EQ(Transaction(DIOCXCOMMIT, wrong), EBUSY);
    std::vector<pfioc_trans_e> filter = {elements[0]};
    ASSERT_EQ(Transaction(DIOCXCOMMIT, filter), 0);
    // The open table transaction still holds the anchor.
    EXPECT_EQ(pfsim::ListAnchors(), (std::vector<std::string>{"t", "t/x"}));
    std::vector<pfioc_trans_e> tables = {elements[1]};
    ASSERT_EQ(Transaction(DIOCXCOMMIT, tables), 0);
    EXPECT_TRUE(pfsim::ListAnchors().empty());

    struct Row {
        const char *name;
        pfioc_trans_e element;
        int error;
    } rows[] = {
        {"queues", Element(PF_RULESET_ALTQ, "q"), EINVAL},
        {"past the tables", Element(PF_RULESET_TABLE + 1, "q"), EINVAL},
        {"rules in a path pf refuses", Element(PF_RULESET_FILTER, "q//r"), EINVAL},
        {"tables in a path pf refuses", Element(PF_RULESET_TABLE, "q//r"), ENOMEM},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<pfioc_trans_e> one = {row.element};
        EXPECT_EQ(Transaction(DIOCXBEGIN, one), row.error);
        EXPECT_TRUE(pfsim::ListAnchors().empty());
    }
}

TEST_F(PFsim, InjectedFaultsFailOneRequestAndCount)
{
    pfsim::FailNext(pfsim::Request::ADD_TABLES, EIO);
    int added = 99;
    EXPECT_EQ(AddTables({Table("", "t")}, &added), EIO);
    EXPECT_EQ(added, 99);
    EXPECT_EQ(AddTables({Table("", "t")}, &added), 0);
    EXPECT_EQ(added, 1);
    EXPECT_EQ(pfsim::Requests(pfsim::Request::ADD_TABLES), 2u);
    EXPECT_EQ(pfsim::Requests(pfsim::Request::ADD_ADDRS), 0u);

    pfsim::Reset();
    EXPECT_TRUE(pfsim::ListTables().empty());
    EXPECT_EQ(pfsim::Requests(pfsim::Request::ADD_TABLES), 0u);
    errno = 0;
    EXPECT_EQ(pfsim::Open(DEVICE, O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
}

} // namespace
