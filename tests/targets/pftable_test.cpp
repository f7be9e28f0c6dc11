#include "host/addr.hpp"
#include "host/exception.hpp"
#include "host/flow.hpp"
#include "rules/action.hpp"
#include "sim/pf/pfsim.hpp"
#include "support/capture.hpp"
#include "targets/pf/pfvar.hpp"
#include "targets/pf/table.hpp"
#include "targets/pftable.hpp"
#include "targets/pftable_config.hpp"

#include <algorithm>
#include <cerrno>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace
{

using Lines = std::vector<std::string>;
using Event = tdPluginProcessor::Event;

constexpr char DEVICE[] = "/dev/pf";
constexpr int64_t T0 = 1700000000;
constexpr char LOCAL[] = "192.0.2.1";
constexpr char OTHER[] = "2001:db8::9";

class PFtableTarget : public ::testing::Test
{
protected:
    void SetUp() override
    {
        pfsim::Reset();
        pfsim::RegisterDevice(DEVICE);
        pfsim::SetClock(T0);
        config.SetDevice(DEVICE);
    }
    void TearDown() override { pfsim::Reset(); }

    std::unique_ptr<tfaTargetPFtable> Make(const json &target_config,
                                           const json &type_config = nullptr)
    {
        return std::unique_ptr<tfaTargetPFtable>(
            tfaTargetPFtable::Create("pf1", &config, target_config, type_config));
    }

    void CreateTable(const std::string &anchor, const std::string &name,
                     const std::vector<std::string> &addresses = {})
    {
        tfaTargetPFtable maker("maker", &config, anchor, name, tfaTargetPFtable::ADDR_OTHER, 0);
        ASSERT_TRUE(maker.CreateTable());
        for (const auto &address : addresses)
            ASSERT_TRUE(maker.AddTableEntry(address));
    }

    // The addresses of table `name`, each with "@" and its zero time relative to T0.
    static Lines Addresses(const std::string &name, const std::string &anchor = "")
    {
        Lines addresses;
        for (const auto &table : pfsim::ListTables())
            if (table.name == name && table.anchor == anchor)
                for (const auto &address : table.addresses)
                    addresses.push_back(address.address + "@" + std::to_string(address.tzero - T0));
        return addresses;
    }

    static std::shared_ptr<tdFlow> Flow(uint8_t lower_map, const char *lower = LOCAL,
                                        const char *upper = OTHER)
    {
        auto flow = std::make_shared<tdFlow>();
        tdAddr::Create(flow->lower_addr, lower);
        tdAddr::Create(flow->upper_addr, upper);
        flow->lower_map = lower_map;
        return flow;
    }

    bool Process(tfaTargetPFtable &target, Event event, std::shared_ptr<tdFlow> flow)
    {
        return target.ProcessFlow(action, event, flow);
    }

    tfaTargetPFtableConfig config;
    std::unordered_map<std::string, tfaTarget *> targets;
    tfaAction action{nullptr, "act", 1, "", {}, {}, targets, json::object(), {}, false};
};

TEST_F(PFtableTarget, TableNameAloneAddsTheOtherAddressOnIntelAndDpiEventsOnly)
{
    CreateTable("", "t");
    uint64_t creates = pfsim::Requests(pfsim::Request::ADD_TABLES);
    LogCapture capture;
    auto target = Make({{"table_name", "t"}});
    EXPECT_EQ(target->anchor_name, "*");
    EXPECT_EQ(target->addr_type, tfaTargetPFtable::ADDR_OTHER);
    EXPECT_EQ(target->ttl, 0u);
    EXPECT_EQ(target->GetFlags(), 0u);
    EXPECT_EQ(target->GetType(), tfaTarget::TT_PFTABLE);
    EXPECT_EQ(capture.DebugLines(), Lines{"auto_expire: false\n"});

    struct Row {
        Event event;
        bool added;
    } rows[] = {
        {tdPluginProcessor::EVENT_FLOW_NEW, false},  {tdPluginProcessor::EVENT_FLOW_EXPIRED, false},
        {tdPluginProcessor::EVENT_FLOW_INTEL, true}, {tdPluginProcessor::EVENT_DPI_NEW, false},
        {tdPluginProcessor::EVENT_DPI_UPDATE, true}, {tdPluginProcessor::EVENT_DPI_COMPLETE, true},
        {tdPluginProcessor::EVENT_UPDATE, false},
    };
    Lines expected;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.event);
        std::string other = "198.51.100." + std::to_string(row.event);
        EXPECT_EQ(Process(*target, row.event, Flow(tdFlow::LOWER_MAP_LOCAL, LOCAL, other.c_str())),
                  row.added);
        if (row.added)
            expected.push_back(other + "@0");
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Addresses("t"), expected);

    target->Update();
    target.reset();
    EXPECT_EQ(Addresses("t"), expected);
    EXPECT_EQ(pfsim::Requests(pfsim::Request::ADD_TABLES), creates);
    EXPECT_EQ(pfsim::Requests(pfsim::Request::CLR_ADDRS), 0u);
    EXPECT_EQ(pfsim::Requests(pfsim::Request::GET_ASTATS), 0u);
}

TEST_F(PFtableTarget, AddressTypeChoosesTheEndpoint)
{
    struct Row {
        const char *name;
        json address_type; // null: key absent
        uint8_t lower_map;
        const char *address;
    } rows[] = {
        {"default, lower is local", nullptr, tdFlow::LOWER_MAP_LOCAL, OTHER},
        {"default, lower is other", nullptr, tdFlow::LOWER_MAP_OTHER, LOCAL},
        {"default, map unknown", nullptr, tdFlow::LOWER_MAP_UNKNOWN, OTHER},
        {"local, lower is local", "local", tdFlow::LOWER_MAP_LOCAL, LOCAL},
        {"local, lower is other", "local", tdFlow::LOWER_MAP_OTHER, OTHER},
        {"remote", "remote", tdFlow::LOWER_MAP_LOCAL, OTHER},
        {"empty", "", tdFlow::LOWER_MAP_LOCAL, OTHER},
        {"not exactly local", "Local", tdFlow::LOWER_MAP_LOCAL, OTHER},
    };
    int index = 0;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        std::string table = "t" + std::to_string(index++);
        CreateTable("", table);
        json target_config = {{"table_name", table}};
        if (!row.address_type.is_null())
            target_config["address_type"] = row.address_type;
        auto target = Make(target_config);
        EXPECT_TRUE(Process(*target, tdPluginProcessor::EVENT_DPI_COMPLETE, Flow(row.lower_map)));
        EXPECT_EQ(Addresses(table), Lines{std::string(row.address) + "@0"});
    }
}

TEST_F(PFtableTarget, ManagedAndFlushOnCreatePrepareTheTable)
{
    struct Row {
        const char *name;
        json target_config;
        std::vector<std::string> existing; // empty: no table yet, unless `exists`
        bool exists;
        Lines lines;
    } rows[] = {
        {"managed, existing with entries",
         {{"table_name", "t"}, {"managed", true}},
         {"192.0.2.7", "192.0.2.8"},
         true,
         {"auto_expire: false\n", "t: table exists.\n", "FlushTable: *, t: 2\n"}},
        {"managed, existing and empty",
         {{"table_name", "t"}, {"managed", true}},
         {},
         true,
         {"auto_expire: false\n", "t: table exists.\n"}},
        {"managed, new in an anchor",
         {{"table_name", "t"}, {"anchor_name", "a/b"}, {"managed", true}},
         {},
         false,
         {"auto_expire: false\n", "t: table created.\n"}},
        {"flush on create",
         {{"table_name", "t"}, {"flush_on_create", true}},
         {"192.0.2.7"},
         true,
         {"auto_expire: false\n", "FlushTable: *, t: 1\n"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        pfsim::Reset();
        pfsim::RegisterDevice(DEVICE);
        config.SetDevice(DEVICE);
        if (row.exists)
            CreateTable("", "t", row.existing);
        LogCapture capture;
        // A stale errno from earlier work must not show up as a flush failure.
        errno = EIO;
        auto target = Make(row.target_config);
        EXPECT_EQ(capture.DebugLines(), row.lines);
        auto tables = pfsim::ListTables();
        ASSERT_EQ(tables.size(), 1u);
        EXPECT_TRUE(tables[0].addresses.empty());
        if (!row.exists) {
            EXPECT_EQ(tables[0].flags, PFR_TFLAG_PERSIST | PFR_TFLAG_COUNTERS | PFR_TFLAG_ACTIVE);
        }
    }
}

TEST_F(PFtableTarget, AddingAPresentAddressReturnsFalseSilently)
{
    CreateTable("", "t");
    auto target = Make({{"table_name", "t"}});
    LogCapture capture;
    EXPECT_TRUE(target->AddTableEntry("192.0.2.1"));
    EXPECT_EQ(capture.DebugLines(), Lines{"AddTableEntry: *, t: 192.0.2.1\n"});
    capture.Clear();
    errno = ENOENT;
    EXPECT_FALSE(target->AddTableEntry("192.0.2.1"));
    EXPECT_TRUE(capture.DebugLines().empty());
}

TEST_F(PFtableTarget, AddFailuresAreNamed)
{
    CreateTable("", "t");
    struct Row {
        const char *name;
        std::string anchor;
        std::string table;
        std::string address;
        int fault;
        Lines lines;
        uint64_t requests;
    } rows[] = {
        {"missing table",
         "*",
         "none",
         "192.0.2.1",
         0,
         {"pfr_add_addrs: DIOCRADDADDRS: No such process\n", "none: table doesn't exist.\n"},
         1},
        {"missing anchor",
         "nowhere",
         "t",
         "192.0.2.1",
         0,
         {"pfr_add_addrs: DIOCRADDADDRS: No such process\n", "t: table doesn't exist.\n"},
         1},
        {"reserved anchor",
         "_pf",
         "t",
         "192.0.2.1",
         0,
         {"pfr_add_addrs: DIOCRADDADDRS: Invalid argument\n", "t: anchor doesn't exist: _pf\n"},
         1},
        {"no such anchor",
         "*",
         "t",
         "192.0.2.1",
         ENOENT,
         {"pfr_add_addrs: DIOCRADDADDRS: No such file or directory\n",
          "t: anchor doesn't exist: \n"},
         1},
        {"other error",
         "*",
         "t",
         "192.0.2.1",
         EPERM,
         {"pfr_add_addrs: DIOCRADDADDRS: Operation not permitted\n",
          "t: error adding entry: : 192.0.2.1\n"},
         1},
        {"not an address",
         "*",
         "t",
         "host.example",
         0,
         {"pfctl_host: IP address not found: host.example\n"},
         0},
        {"a network",
         "*",
         "t",
         "192.0.2.0/24",
         0,
         {"pfctl_append_host: network bits: Invalid argument\n"},
         0},
        {"table name of 32",
         "*",
         std::string(32, 'n'),
         "192.0.2.1",
         0,
         {"pfctl_init_table: strlcpy: *: " + std::string(32, 'n') + "\n"},
         0},
        {"anchor of 1024",
         std::string(1024, 'a'),
         "t",
         "192.0.2.1",
         0,
         {"pfctl_init_table: strlcpy: " + std::string(1024, 'a') + ": t\n"},
         0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        tfaTargetPFtable target("pf1", &config, row.anchor, row.table, tfaTargetPFtable::ADDR_OTHER,
                                0);
        uint64_t before = pfsim::Requests(pfsim::Request::ADD_ADDRS);
        pfsim::FailNext(pfsim::Request::ADD_ADDRS, row.fault);
        LogCapture capture;
        EXPECT_FALSE(target.AddTableEntry(row.address));
        EXPECT_EQ(capture.DebugLines(), row.lines);
        EXPECT_EQ(pfsim::Requests(pfsim::Request::ADD_ADDRS) - before, row.requests);
        pfsim::FailNext(pfsim::Request::ADD_ADDRS, 0);
    }
    EXPECT_TRUE(Addresses("t").empty());
}

TEST_F(PFtableTarget, EntriesExpireTtlAfterTheirFirstAdditionEvenWhileFlowsMatch)
{
    CreateTable("", "t");
    auto target = Make({{"table_name", "t"}, {"ttl", 3600}});
    auto flow = Flow(tdFlow::LOWER_MAP_LOCAL);
    EXPECT_TRUE(Process(*target, tdPluginProcessor::EVENT_DPI_COMPLETE, flow));
    pfsim::SetClock(T0 + 1800);
    EXPECT_FALSE(Process(*target, tdPluginProcessor::EVENT_DPI_UPDATE, flow));
    EXPECT_TRUE(target->AddTableEntry("192.0.2.50"));
    EXPECT_EQ(Addresses("t"), (Lines{"192.0.2.50@1800", "2001:db8::9@0"}));

    LogCapture capture;
    pfsim::SetClock(T0 + 3600);
    target->Update();
    EXPECT_EQ(Addresses("t"), (Lines{"192.0.2.50@1800", "2001:db8::9@0"}));
    EXPECT_TRUE(capture.DebugLines().empty());

    pfsim::SetClock(T0 + 3601);
    target->Update();
    EXPECT_EQ(Addresses("t"), Lines{"192.0.2.50@1800"});
    EXPECT_EQ(capture.DebugLines(), Lines{"ExpireTableEntries: *, t: 1\n"});

    EXPECT_TRUE(Process(*target, tdPluginProcessor::EVENT_FLOW_INTEL, flow));
    EXPECT_EQ(Addresses("t"), (Lines{"192.0.2.50@1800", "2001:db8::9@3601"}));
}

TEST_F(PFtableTarget, ZeroTtlNeverExpiresEvenWithAutoExpire)
{
    CreateTable("", "t", {"192.0.2.1"});
    LogCapture capture;
    auto target = Make({{"table_name", "t"}, {"ttl", 0}, {"auto_expire", true}});
    EXPECT_EQ(target->GetFlags(), static_cast<uint32_t>(tfaTarget::TF_AUTO_EXPIRE));
    EXPECT_EQ(capture.DebugLines(), Lines{"auto_expire: true\n"});
    pfsim::SetClock(T0 + 10 * 365 * 86400LL);
    target->Update();
    EXPECT_EQ(Addresses("t"), Lines{"192.0.2.1@0"});
    EXPECT_EQ(pfsim::Requests(pfsim::Request::GET_ASTATS), 0u);
}

TEST_F(PFtableTarget, ExpiryThatCannotReadOrDeleteReportsFailure)
{
    CreateTable("", "t", {"192.0.2.1"});
    tfaTargetPFtable target("pf1", &config, "*", "t", tfaTargetPFtable::ADDR_OTHER, 10);
    pfsim::SetClock(T0 + 11);
    pfsim::FailNext(pfsim::Request::GET_ASTATS, EIO);
    EXPECT_FALSE(target.ExpireTableEntries());
    pfsim::FailNext(pfsim::Request::DEL_ADDRS, EIO);
    EXPECT_FALSE(target.ExpireTableEntries());
    EXPECT_EQ(Addresses("t"), Lines{"192.0.2.1@0"});
    EXPECT_TRUE(target.ExpireTableEntries());
    EXPECT_TRUE(Addresses("t").empty());
    EXPECT_FALSE(target.ExpireTableEntries());
}

TEST_F(PFtableTarget, WithoutADeviceEveryRequestReportsABadDescriptor)
{
    tfaTargetPFtableConfig closed;
    tfaTargetPFtable target("pf1", &closed, "*", "t", tfaTargetPFtable::ADDR_OTHER, 60);
    std::set<std::string> anchors;
    const std::string ebadf = "Bad file descriptor";
    struct Row {
        const char *name;
        std::function<bool()> call;
        Lines lines;
    } rows[] = {
        {"create",
         [&] { return target.CreateTable(); },
         {"pfr_add_tables: DIOCRADDTABLES: " + ebadf + "\n",
          "t: error creating table: " + ebadf + "\n"}},
        {"flush",
         [&] { return target.FlushTable(); },
         {"pfr_clr_addrs: DIOCRCLRADDRS: " + ebadf + "\n", "FlushTable: *, t: " + ebadf + "\n"}},
        {"add",
         [&] { return target.AddTableEntry("192.0.2.1"); },
         {"pfr_add_addrs: DIOCRADDADDRS: " + ebadf + "\n", "t: error adding entry: : 192.0.2.1\n"}},
        {"remove",
         [&] { return target.RemoveTableEntry("192.0.2.1"); },
         {"pfr_del_addrs: DIOCRDELADDRS: " + ebadf + "\n",
          "t: error removing entry: : 192.0.2.1\n"}},
        {"expire",
         [&] { return target.ExpireTableEntries(); },
         {"pfr_get_astats: DIOCRGETASTATS: " + ebadf + "\n"}},
        {"destroy", [&] { return target.DestroyTable(); }, {"DestroyTable: *, t: " + ebadf + "\n"}},
        {"anchors",
         [&] { return target.GetAnchors(anchors, ""); },
         {"pf1: DIOCGETRULESETS: " + ebadf + "\n"}},
        {"flush anchor",
         [&] { return target.FlushAnchor("a"); },
         {"t: error while flushing anchor: a\n"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        LogCapture capture;
        EXPECT_FALSE(row.call());
        EXPECT_EQ(capture.DebugLines(), row.lines);
    }
    EXPECT_FALSE(closed.IsRunning());
}

TEST_F(PFtableTarget, DeviceHandleOpensReportsAndCloses)
{
    tfaTargetPFtableConfig handle;
    {
        LogCapture capture;
        try {
            handle.SetDevice("/dev/nopf");
            FAIL() << "no exception";
        } catch (const tdException &e) {
            EXPECT_STREQ(e.what(), "void tfaTargetPFtableConfig::SetDevice(const std::string &): "
                                   "/dev/nopf: No such file or directory");
        }
        EXPECT_EQ(capture.DebugLines(),
                  Lines{"pftable: unable to open PF: /dev/nopf: No such file or directory\n"});
        EXPECT_EQ(handle.fd, -1);
    }
    LogCapture capture;
    handle.SetDevice(DEVICE);
    pfsim::SetRunning(true);
    handle.SetDevice(DEVICE);
    EXPECT_TRUE(handle.IsRunning());
    pfsim::FailNext(pfsim::Request::STATUS, EIO);
    EXPECT_FALSE(handle.IsRunning());
    pfsim::FailNext(pfsim::Request::STATUS, EIO);
    EXPECT_TRUE(handle.Close());
    EXPECT_TRUE(handle.Open());
    EXPECT_TRUE(handle.Open());
    EXPECT_EQ(capture.DebugLines(), (Lines{
                                        "pftable: openend PF: /dev/pf, running: no\n",
                                        "pftable: closed PF: /dev/pf\n",
                                        "pftable: openend PF: /dev/pf, running: yes\n",
                                        "pftable: DIOCGETSTATUS: Input/output error\n",
                                        "pftable: closed PF: /dev/pf\n",
                                        "pftable: DIOCGETSTATUS: Input/output error\n",
                                        "pftable: openend PF: /dev/pf, running: no\n",
                                    }));
    capture.Clear();
    int fd = handle.fd;
    pfsim::Reset();
    EXPECT_FALSE(handle.Close());
    EXPECT_EQ(handle.fd, fd);
    EXPECT_EQ(capture.DebugLines(),
              Lines{"pftable: unable to close PF: /dev/pf: Bad file descriptor\n"});

    capture.Clear();
    pfsim::RegisterDevice(DEVICE);
    handle.SetDevice(DEVICE);
    EXPECT_NE(handle.fd, fd);
    EXPECT_EQ(capture.DebugLines(),
              (Lines{"pftable: unable to close PF: /dev/pf: Bad file descriptor\n",
                     "pftable: openend PF: /dev/pf, running: no\n"}));
    EXPECT_TRUE(handle.Close());
    EXPECT_FALSE(handle.Close());
    EXPECT_EQ(pfsim::OpenDescriptors(), 0u);
}

TEST_F(PFtableTarget, CreateReadsKeysWithTheTargetsValueWinning)
{
    struct Row {
        const char *name;
        json target_config;
        json type_config;
        std::string anchor;
        uint32_t ttl;
        uint32_t flags;
    } rows[] = {
        {"defaults", {{"table_name", "t"}}, nullptr, "*", 0, 0},
        {"type defaults apply",
         {{"table_name", "t"}},
         {{"anchor_name", "a"}, {"ttl", 60}, {"flush_on_destroy", true}},
         "a",
         60,
         tfaTarget::TF_FLUSH_ON_DESTROY},
        {"target wins",
         {{"table_name", "t"}, {"ttl", 120}, {"flush_on_destroy", false}},
         {{"ttl", 60}, {"flush_on_destroy", true}},
         "*",
         120,
         0},
        {"boolean ttl", {{"table_name", "t"}, {"ttl", true}}, nullptr, "*", 1, 0},
        {"fractional ttl", {{"table_name", "t"}, {"ttl", 90.7}}, nullptr, "*", 90, 0},
        {"largest ttl", {{"table_name", "t"}, {"ttl", 4294967295U}}, nullptr, "*", 4294967295U, 0},
        {"every flag",
         {{"table_name", "t"},
          {"managed", true},
          {"flush_on_create", true},
          {"flush_on_destroy", true},
          {"auto_expire", true}},
         nullptr,
         "*",
         0,
         0x0f},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        auto target = Make(row.target_config, row.type_config);
        EXPECT_EQ(target->table_name, "t");
        EXPECT_EQ(target->anchor_name, row.anchor);
        EXPECT_EQ(target->ttl, row.ttl);
        EXPECT_EQ(target->GetFlags(), row.flags);
        EXPECT_EQ(target->GetName(), "pf1");
    }
}

TEST_F(PFtableTarget, CreateRefusesMissingAndMistypedKeys)
{
    struct Row {
        json target_config;
        json type_config;
        const char *message;
    } rows[] = {
        {json::object(), nullptr, "pf1: required string parameter not found: table_name"},
        {json::object(),
         {{"table_name", "t"}},
         "pf1: required string parameter not found: table_name"},
        {{{"table_name", 5}}, nullptr, "pf1: invalid string parameter type: table_name"},
        {{{"table_name", "t"}, {"anchor_name", 5}},
         nullptr,
         "pf1: invalid string parameter type: anchor_name"},
        {{{"table_name", "t"}, {"address_type", true}},
         nullptr,
         "pf1: invalid string parameter type: address_type"},
        {{{"table_name", "t"}, {"ttl", "60"}},
         nullptr,
         "pf1: invalid unsigned parameter type: ttl"},
        {{{"table_name", "t"}, {"ttl", -1}}, nullptr, "pf1: invalid unsigned parameter type: ttl"},
        {{{"table_name", "t"}, {"ttl", 4294967296ULL}},
         nullptr,
         "pf1: invalid unsigned parameter type: ttl"},
        {{{"table_name", "t"}, {"ttl", 1e300}},
         nullptr,
         "pf1: invalid unsigned parameter type: ttl"},
        {{{"table_name", "t"}, {"managed", "yes"}},
         nullptr,
         "pf1: invalid bool parameter type: managed"},
        {{{"table_name", "t"}, {"flush_on_destroy", true}},
         {{"flush_on_destroy", 1}},
         "pf1: invalid bool parameter type: flush_on_destroy"},
        {{{"table_name", "t"}, {"auto_expire", nullptr}},
         nullptr,
         "pf1: invalid bool parameter type: auto_expire"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.message + std::string(" ") + row.target_config.dump());
        try {
            Make(row.target_config, row.type_config);
            ADD_FAILURE() << "no exception";
        } catch (const tdException &e) {
            EXPECT_STREQ(e.what(), row.message);
        }
    }
    EXPECT_EQ(pfsim::Requests(pfsim::Request::ADD_TABLES), 0u);
}

TEST_F(PFtableTarget, FlushOnDestroyEmptiesButKeepsTheTable)
{
    CreateTable("", "t", {"192.0.2.1"});
    auto target = Make({{"table_name", "t"}, {"flush_on_destroy", true}});
    EXPECT_EQ(target->GetFlags(), static_cast<uint32_t>(tfaTarget::TF_FLUSH_ON_DESTROY));
    EXPECT_FALSE(target->Flush(tfaTarget::TF_MANAGED));
    EXPECT_TRUE(target->Flush(tfaTarget::TF_FLUSH_ON_DESTROY));
    EXPECT_EQ(Addresses("t"), Lines{"192.0.2.1@0"});
    LogCapture capture;
    target.reset();
    EXPECT_EQ(capture.DebugLines(), Lines{"FlushTable: *, t: 1\n"});
    ASSERT_EQ(pfsim::ListTables().size(), 1u);
    EXPECT_TRUE(Addresses("t").empty());
}

TEST_F(PFtableTarget, RemoveAndDestroyReportWhatPfDid)
{
    CreateTable("", "t", {"192.0.2.1"});
    tfaTargetPFtable target("pf1", &config, "*", "t", tfaTargetPFtable::ADDR_OTHER, 0);
    LogCapture capture;
    EXPECT_TRUE(target.RemoveTableEntry("192.0.2.1"));
    EXPECT_FALSE(target.RemoveTableEntry("192.0.2.1"));
    EXPECT_TRUE(target.DestroyTable());
    EXPECT_FALSE(target.DestroyTable());
    EXPECT_EQ(capture.DebugLines(), (Lines{
                                        "RemoveTableEntry: *, t: 192.0.2.1\n",
                                        "RemoveTableEntry: *, t: 192.0.2.1: No such file or "
                                        "directory\n",
                                        "DestroyTable: *, t\n",
                                        "DestroyTable: *, t: No such process\n",
                                    }));
    EXPECT_TRUE(pfsim::ListTables().empty());
}

TEST_F(PFtableTarget, AnchorsAreListedAndFlushed)
{
    CreateTable("x/y", "t");
    CreateTable("x/z", "t");
    tfaTargetPFtable target("pf1", &config, "*", "t", tfaTargetPFtable::ADDR_OTHER, 0);
    std::set<std::string> anchors;
    EXPECT_TRUE(target.GetAnchors(anchors, "x"));
    EXPECT_TRUE(target.GetAnchors(anchors, ""));
    EXPECT_TRUE(target.GetAnchors(anchors, "x/y"));
    EXPECT_EQ(anchors, (std::set<std::string>{"x", "x/y", "x/z"}));

    LogCapture capture;
    EXPECT_FALSE(target.GetAnchors(anchors, "q"));
    EXPECT_FALSE(target.GetAnchors(anchors, std::string("x\0y", 3)));
    EXPECT_TRUE(target.FlushAnchor("x/y"));
    pfsim::FailNext(pfsim::Request::XCOMMIT, EBUSY);
    EXPECT_FALSE(target.FlushAnchor("x"));
    EXPECT_EQ(capture.DebugLines(), (Lines{
                                        "pf1: DIOCGETRULESETS: No such file or directory\n",
                                        "pf1: DIOCGETRULESETS: Invalid argument\n",
                                        "t: error while flushing anchor: x\n",
                                    }));
    EXPECT_EQ(pfsim::ListAnchors(), (std::vector<std::string>{"x", "x/y", "x/z"}));
}

TEST_F(PFtableTarget, FlushingTheEmptyAnchorPathIsRefused)
{
    tfaTargetPFtable target("pf1", &config, "*", "t", tfaTargetPFtable::ADDR_OTHER, 0);
    LogCapture capture;
    errno = 0;
    EXPECT_FALSE(target.FlushAnchor(""));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(capture.DebugLines(), Lines{"t: error while flushing anchor: \n"});
    EXPECT_EQ(pfsim::Requests(pfsim::Request::XBEGIN), 0u);
    EXPECT_TRUE(pfsim::ListAnchors().empty());
}

TEST_F(PFtableTarget, UnknownAddressTypeAddsNothing)
{
    CreateTable("", "t");
    tfaTargetPFtable target("pf1", &config, "*", "t", static_cast<tfaTargetPFtable::AddrType>(7),
                            0);
    LogCapture capture;
    EXPECT_FALSE(
        Process(target, tdPluginProcessor::EVENT_DPI_COMPLETE, Flow(tdFlow::LOWER_MAP_LOCAL)));
    EXPECT_FALSE(Process(target, tdPluginProcessor::EVENT_DPI_COMPLETE, nullptr));
    EXPECT_EQ(capture.DebugLines(), Lines{"pf1: invalid address type: 7\n"});
    EXPECT_TRUE(Addresses("t").empty());
}


// A table larger than one pf request (net.pf.request_maxcount, 65535) could not be read, so its
// addresses never expired; the target now expires what it added, in requests within the limit,
// and says once how to raise the limit.
TEST_F(PFtableTarget, ExpiryWorksBeyondOneRequest)
{
    CreateTable("", "big");
    auto target = Make({{"table_name", "big"}, {"ttl", 60}});
    const int count = tfaTargetPFtable::REQUEST_LIMIT + 10;
    for (int i = 0; i < count; i++)
        ASSERT_TRUE(target->AddTableEntry("10." + std::to_string(i >> 16) + "." +
                                          std::to_string((i >> 8) & 0xff) + "." +
                                          std::to_string(i & 0xff)));
    pfsim::SetClock(T0 + 30);
    ASSERT_TRUE(target->AddTableEntry("192.0.2.77"));

    LogCapture capture;
    pfsim::SetClock(T0 + 61);
    EXPECT_TRUE(target->ExpireTableEntries());
    EXPECT_EQ(Addresses("big"), Lines{"192.0.2.77@30"});
    pfsim::SetClock(T0 + 91);
    target->Update();
    EXPECT_TRUE(Addresses("big").empty());
    auto lines = capture.LogLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("big: table larger than one pf request may carry", 0), 0u) << lines[0];
}

// Every matching flow made an add request, even for an address the table held; now an address
// the last expiry pass found is not requested again, and one an operator removed meanwhile is
// added again after the next pass.
TEST_F(PFtableTarget, AddsOfAnAddressThePassFoundMakeNoRequest)
{
    CreateTable("", "seen");
    auto target = Make({{"table_name", "seen"}, {"ttl", 600}});
    struct Step {
        const char *label;
        std::function<void()> act;
        uint64_t requests; // add requests that reached pf in the step
        uint64_t skipped;  // skipped adds after the step
        Lines addresses;
    };
    tfaTargetPFtable remover("operator", &config, "", "seen", tfaTargetPFtable::ADDR_OTHER, 0);
    const Step steps[] = {
        {"first add", [&] { target->AddTableEntry("192.0.2.5"); }, 1, 0, {"192.0.2.5@0"}},
        {"again before any pass", [&] { target->AddTableEntry("192.0.2.5"); }, 1, 0,
         {"192.0.2.5@0"}},
        {"the pass finds it", [&] { target->Update(); }, 0, 0, {"192.0.2.5@0"}},
        {"again after the pass", [&] { target->AddTableEntry("192.0.2.5"); }, 0, 1,
         {"192.0.2.5@0"}},
        {"another address", [&] { target->AddTableEntry("192.0.2.6"); }, 1, 1,
         {"192.0.2.5@0", "192.0.2.6@0"}},
        {"an operator removes it", [&] { remover.RemoveTableEntry("192.0.2.5"); }, 0, 1,
         {"192.0.2.6@0"}},
        {"skipped until the next pass", [&] { target->AddTableEntry("192.0.2.5"); }, 0, 2,
         {"192.0.2.6@0"}},
        {"the pass misses it", [&] { target->Update(); }, 0, 2, {"192.0.2.6@0"}},
        {"added again", [&] { target->AddTableEntry("192.0.2.5"); }, 1, 2,
         {"192.0.2.5@0", "192.0.2.6@0"}},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(step.label);
        uint64_t before = pfsim::Requests(pfsim::Request::ADD_ADDRS);
        step.act();
        EXPECT_EQ(pfsim::Requests(pfsim::Request::ADD_ADDRS) - before, step.requests);
        EXPECT_EQ(target->GetSkippedAdds(), step.skipped);
        Lines addresses = Addresses("seen");
        std::sort(addresses.begin(), addresses.end());
        EXPECT_EQ(addresses, step.addresses);
    }
}
} // namespace
