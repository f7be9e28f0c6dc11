// The nftset target's logic against the in-memory fake of its kernel seam; the real kernel is
// tested in tests/nft.
#include "host/addr.hpp"
#include "host/exception.hpp"
#include "host/flow.hpp"
#include "rules/action.hpp"
#include "support/capture.hpp"
#include "support/nft_fake.hpp"
#include "targets/nftset.hpp"

#include <algorithm>
#include <cerrno>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace
{

using Lines = std::vector<std::string>;
using Event = tdPluginProcessor::Event;

constexpr char LOCAL[] = "192.0.2.1";
constexpr char OTHER[] = "198.51.100.7";
constexpr char OTHER6[] = "2001:db8::9";

class NFTsetTarget : public ::testing::Test
{
protected:
    NFTsetTarget()
    {
        auto owned = std::make_unique<tfaNftFake>();
        fake = owned.get();
        config = std::make_unique<tfaTargetNFTsetConfig>(std::move(owned));
    }

    std::unique_ptr<tfaTargetNFTset> Make(const json &target_config,
                                          const json &type_config = nullptr)
    {
        return std::unique_ptr<tfaTargetNFTset>(
            tfaTargetNFTset::Create("nft1", config.get(), target_config, type_config));
    }

    // A table and set as an operator would make them with nft.
    void MakeSet(uint8_t family, const std::string &table, const std::string &set, bool ipv6,
                 bool timeout)
    {
        ASSERT_EQ(fake->AddTable(family, table, nullptr), 0);
        ASSERT_EQ(fake->AddSet(family, table, set, nft_address_set_spec(ipv6, timeout), nullptr),
                  0);
    }

    Lines Set(const std::string &set, uint8_t family = NFT_FAMILY_INET,
              const std::string &table = "tarvix")
    {
        return fake->Addresses(family, table, set);
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

    bool Process(tfaTargetNFTset &target, Event event, std::shared_ptr<tdFlow> flow)
    {
        return target.ProcessFlow(action, event, flow);
    }

    tfaNftFake *fake;
    std::unique_ptr<tfaTargetNFTsetConfig> config;
    std::unordered_map<std::string, tfaTarget *> targets;
    tfaAction action{nullptr, "act", 1, "", {}, {}, targets, json::object(), {}, false};
};

TEST_F(NFTsetTarget, SetAloneServesBothFamiliesOfTableTarvixOnIntelAndDpiEventsOnly)
{
    MakeSet(NFT_FAMILY_INET, "tarvix", "blocked", false, false);
    MakeSet(NFT_FAMILY_INET, "tarvix", "blocked6", true, false);
    LogCapture capture;
    auto target = Make({{"set", "blocked"}});
    EXPECT_EQ(target->GetType(), tfaTarget::TT_NFTSET);
    EXPECT_EQ(target->family, NFT_FAMILY_INET);
    EXPECT_EQ(target->table, "tarvix");
    EXPECT_EQ(target->SetFor(false), "blocked");
    EXPECT_EQ(target->SetFor(true), "blocked6");
    EXPECT_EQ(target->addr_type, tfaTargetNFTset::ADDR_OTHER);
    EXPECT_EQ(target->ttl, 0u);
    EXPECT_EQ(target->GetFlags(), 0u);
    EXPECT_EQ(capture.LogLines(), Lines{});
    EXPECT_EQ(fake->Requests(tfaNftFake::ADD_TABLE), 2u); // MakeSet's only

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
            expected.push_back(other);
    }
    EXPECT_EQ(Set("blocked"), expected);

    EXPECT_TRUE(Process(*target, tdPluginProcessor::EVENT_DPI_COMPLETE,
                        Flow(tdFlow::LOWER_MAP_LOCAL, "2001:db8::1", OTHER6)));
    EXPECT_EQ(Set("blocked6"), Lines{OTHER6});

    // Dropping the target leaves the sets as they are.
    target.reset();
    EXPECT_EQ(Set("blocked").size(), 3u);
    EXPECT_EQ(fake->Requests(tfaNftFake::FLUSH_SET), 0u);
}

TEST_F(NFTsetTarget, AddressTypeChoosesTheEndpoint)
{
    MakeSet(NFT_FAMILY_IP, "tarvix", "s", false, false);
    struct Row {
        const char *address_type;
        uint8_t lower_map;
        const char *expected;
    } rows[] = {
        {"other", tdFlow::LOWER_MAP_LOCAL, OTHER}, {"other", tdFlow::LOWER_MAP_OTHER, LOCAL},
        {"local", tdFlow::LOWER_MAP_LOCAL, LOCAL}, {"local", tdFlow::LOWER_MAP_OTHER, OTHER},
        {"Local", tdFlow::LOWER_MAP_LOCAL, OTHER},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.address_type) + " " + std::to_string(row.lower_map));
        ASSERT_EQ(fake->FlushSet(NFT_FAMILY_IP, "tarvix", "s"), 0);
        auto target = Make({{"set", "s"}, {"family", "ip"}, {"address_type", row.address_type}});
        EXPECT_TRUE(Process(*target, tdPluginProcessor::EVENT_DPI_COMPLETE,
                            Flow(row.lower_map, LOCAL, OTHER)));
        EXPECT_EQ(Set("s", NFT_FAMILY_IP), Lines{row.expected});
    }
}

TEST_F(NFTsetTarget, KeysComeFromTheTypeDefaultsAndTheTargetWins)
{
    json defaults = {{"family", "ip"}, {"table", "fw"}, {"ttl", 60}, {"managed", true},
                     {"address_type", "local"}, {"set", "ignored"}};
    auto target = Make({{"set", "a"}, {"ttl", 30}}, defaults);
    EXPECT_EQ(target->family, NFT_FAMILY_IP);
    EXPECT_EQ(target->table, "fw");
    EXPECT_EQ(target->SetFor(false), "a");
    EXPECT_EQ(target->SetFor(true), "");
    EXPECT_EQ(target->ttl, 30u);
    EXPECT_EQ(target->addr_type, tfaTargetNFTset::ADDR_LOCAL);
    EXPECT_EQ(target->GetFlags(), static_cast<uint32_t>(tfaTarget::TF_MANAGED));
    EXPECT_TRUE(fake->HasSet(NFT_FAMILY_IP, "fw", "a"));

    auto ip6 = Make({{"set", "v6"}, {"family", "ip6"}});
    EXPECT_EQ(ip6->SetFor(false), "");
    EXPECT_EQ(ip6->SetFor(true), "v6");
    auto named = Make({{"set", "v4"}, {"set6", "v6only"}});
    EXPECT_EQ(named->SetFor(true), "v6only");

    auto flags = Make({{"set", "f"}, {"flush", true}, {"flush_on_destroy", true}});
    EXPECT_EQ(flags->GetFlags(), static_cast<uint32_t>(tfaTarget::TF_FLUSH_ON_CREATE |
                                                       tfaTarget::TF_FLUSH_ON_DESTROY));
    auto alias = Make({{"set", "f"}, {"flush_on_create", true}});
    EXPECT_EQ(alias->GetFlags(), static_cast<uint32_t>(tfaTarget::TF_FLUSH_ON_CREATE));
}

TEST_F(NFTsetTarget, BadKeysStopTheLoadNamingTargetAndKey)
{
    struct Row {
        json target;
        json defaults;
        const char *message;
    } rows[] = {
        {json::object(), nullptr, "nft1: required string parameter not found: set"},
        {{{"set", 5}}, nullptr, "nft1: invalid string parameter type: set"},
        {{{"set", "s"}}, {{"set", "s"}}, nullptr},
        {json::object(), {{"set", "s"}}, "nft1: required string parameter not found: set"},
        {{{"set", ""}}, nullptr, "nft1: empty string parameter: set"},
        {{{"set", "s"}, {"table", ""}}, nullptr, "nft1: empty string parameter: table"},
        {{{"set", "s"}, {"family", "bridge"}}, nullptr,
         "nft1: invalid family (inet, ip or ip6): bridge"},
        {{{"set", "s"}, {"family", 2}}, nullptr, "nft1: invalid string parameter type: family"},
        {{{"set", "s"}, {"ttl", "1h"}}, nullptr, "nft1: invalid unsigned parameter type: ttl"},
        {{{"set", "s"}, {"ttl", -1}}, nullptr, "nft1: invalid unsigned parameter type: ttl"},
        {{{"set", "s"}}, {{"managed", 1}}, "nft1: invalid bool parameter type: managed"},
        {{{"set", "s"}, {"flush", "yes"}}, nullptr, "nft1: invalid bool parameter type: flush"},
        {{{"set", "s"}, {"set6", true}}, nullptr, "nft1: invalid string parameter type: set6"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.target.dump() + " " + row.defaults.dump());
        if (row.message == nullptr) {
            EXPECT_NO_THROW(Make(row.target, row.defaults));
            continue;
        }
        try {
            Make(row.target, row.defaults);
            ADD_FAILURE() << "no exception";
        } catch (const tdException &e) {
            EXPECT_STREQ(e.what(), row.message);
        }
    }
}

TEST_F(NFTsetTarget, ManagedCreatesTableAndSetsOfTheRightTypeWithTimeoutWhenTtl)
{
    LogCapture capture;
    auto target = Make({{"set", "blocked"}, {"managed", true}, {"ttl", 3600}});
    nft_set_spec spec;
    ASSERT_EQ(fake->GetSet(NFT_FAMILY_INET, "tarvix", "blocked", &spec), 0);
    EXPECT_EQ(spec.key_type, NFT_KEY_IPV4_ADDR);
    EXPECT_EQ(spec.key_len, 4u);
    EXPECT_EQ(spec.flags, NFT_SET_FLAG_TIMEOUT);
    ASSERT_EQ(fake->GetSet(NFT_FAMILY_INET, "tarvix", "blocked6", &spec), 0);
    EXPECT_EQ(spec.key_type, NFT_KEY_IPV6_ADDR);
    EXPECT_EQ(spec.key_len, 16u);
    EXPECT_EQ(spec.flags, NFT_SET_FLAG_TIMEOUT);
    EXPECT_EQ(capture.LogLines(), Lines{});
    EXPECT_TRUE(capture.Contains("nft1: inet tarvix: table created.\n"));
    EXPECT_TRUE(capture.Contains("nft1: inet tarvix blocked6: set created.\n"));

    EXPECT_TRUE(Process(*target, tdPluginProcessor::EVENT_FLOW_INTEL,
                        Flow(tdFlow::LOWER_MAP_LOCAL)));
    EXPECT_EQ(Set("blocked"), Lines{std::string(OTHER) + "/3600"});
    EXPECT_TRUE(capture.Contains("AddElement: nft1, inet tarvix blocked: 198.51.100.7\n"));

    // No timeout without a ttl; existing sets are kept.
    auto plain = Make({{"set", "plain"}, {"managed", true}});
    ASSERT_EQ(fake->GetSet(NFT_FAMILY_INET, "tarvix", "plain", &spec), 0);
    EXPECT_EQ(spec.flags, 0u);
    auto again = Make({{"set", "blocked"}, {"managed", true}, {"ttl", 60}});
    EXPECT_TRUE(capture.Contains("nft1: inet tarvix blocked: set exists.\n"));
    EXPECT_EQ(Set("blocked"), Lines{std::string(OTHER) + "/3600"});
}

TEST_F(NFTsetTarget, AnAddressAlreadyPresentKeepsItsTimeoutAndExpiryIsTheKernels)
{
    auto target = Make({{"set", "s"}, {"managed", true}, {"ttl", 10}});
    EXPECT_TRUE(target->AddElement(OTHER));
    fake->Advance(6000);
    EXPECT_FALSE(target->AddElement(OTHER));
    fake->Advance(4000);
    EXPECT_EQ(Set("s"), Lines{});
    // Update does nothing: there is no expiry pass.
    uint64_t before = fake->Requests(tfaNftFake::LIST_ELEMENTS);
    target->Update();
    target->Tick();
    EXPECT_EQ(fake->Requests(tfaNftFake::LIST_ELEMENTS), before);
    EXPECT_TRUE(target->AddElement(OTHER));
    EXPECT_TRUE(target->RemoveElement(OTHER));
    EXPECT_FALSE(target->RemoveElement(OTHER));
    EXPECT_FALSE(target->AddElement("not an address"));
    EXPECT_FALSE(target->AddElement("198.51.100.0/24"));
}

TEST_F(NFTsetTarget, FamilyIpTakesNoIPv6AndIp6NoIPv4)
{
    auto ip = Make({{"set", "v4"}, {"family", "ip"}, {"managed", true}});
    auto ip6 = Make({{"set", "v6"}, {"family", "ip6"}, {"managed", true}});
    EXPECT_FALSE(fake->HasSet(NFT_FAMILY_IP, "tarvix", "v46"));
    LogCapture capture;
    EXPECT_FALSE(ip->AddElement(OTHER6));
    EXPECT_TRUE(ip->AddElement(OTHER));
    EXPECT_FALSE(ip6->AddElement(OTHER));
    EXPECT_TRUE(ip6->AddElement(OTHER6));
    EXPECT_EQ(Set("v4", NFT_FAMILY_IP), Lines{OTHER});
    EXPECT_EQ(Set("v6", NFT_FAMILY_IP6), Lines{OTHER6});
    EXPECT_TRUE(capture.Contains("nft1: ip table tarvix takes no IPv6 address: 2001:db8::9\n"));
    EXPECT_EQ(capture.LogLines(), Lines{});
}

TEST_F(NFTsetTarget, MissingTableOrSetIsOneLineUntilItAppearsAndTheEventIsNotLost)
{
    LogCapture capture;
    auto target = Make({{"set", "blocked"}, {"family", "ip"}});
    EXPECT_EQ(capture.LogLines(),
              Lines{"nft1: ip tarvix blocked: checking set: table does not exist (create it, or "
                    "set \"managed\": true)\n"});
    capture.Clear();
    EXPECT_FALSE(target->AddElement(OTHER));
    EXPECT_FALSE(target->AddElement(OTHER));
    EXPECT_EQ(capture.LogLines(), Lines{});
    EXPECT_EQ(capture.DebugLines().size(), 2u);

    ASSERT_EQ(fake->AddTable(NFT_FAMILY_IP, "tarvix", nullptr), 0);
    EXPECT_FALSE(target->AddElement(OTHER));
    EXPECT_EQ(capture.LogLines(),
              Lines{"nft1: ip tarvix blocked: checking set: set does not exist (create it, or "
                    "set \"managed\": true)\n"});

    ASSERT_EQ(fake->AddSet(NFT_FAMILY_IP, "tarvix", "blocked", nft_address_set_spec(false, false),
                           nullptr),
              0);
    EXPECT_TRUE(target->AddElement(OTHER));
    uint64_t checks = fake->Requests(tfaNftFake::GET_SET);
    EXPECT_TRUE(target->AddElement("198.51.100.8"));
    EXPECT_EQ(fake->Requests(tfaNftFake::GET_SET), checks);

    // Deleted behind the target's back: reported again, checked again once it is back.
    ASSERT_EQ(fake->DelTable(NFT_FAMILY_IP, "tarvix"), 0);
    capture.Clear();
    EXPECT_FALSE(target->AddElement(OTHER));
    EXPECT_EQ(capture.LogLines(),
              Lines{"nft1: ip tarvix blocked: adding 198.51.100.7: table does not exist (create "
                    "it, or set \"managed\": true)\n"});
}

TEST_F(NFTsetTarget, NoPermissionIsOneLineNamingTheCapability)
{
    fake->FailAll(EPERM);
    LogCapture capture;
    auto target = Make({{"set", "blocked"}, {"managed", true}});
    EXPECT_EQ(capture.LogLines(),
              (Lines{"nft1: inet tarvix blocked: creating table: Operation not permitted (needs "
                     "root or CAP_NET_ADMIN)\n",
                     "nft1: inet tarvix blocked6: creating table: Operation not permitted (needs "
                     "root or CAP_NET_ADMIN)\n"}));
    capture.Clear();
    EXPECT_FALSE(Process(*target, tdPluginProcessor::EVENT_DPI_COMPLETE,
                         Flow(tdFlow::LOWER_MAP_LOCAL)));
    EXPECT_EQ(capture.LogLines(), Lines{});

    fake->FailAll(0);
    ASSERT_TRUE(target->CreateSets());
    EXPECT_TRUE(Process(*target, tdPluginProcessor::EVENT_DPI_COMPLETE,
                        Flow(tdFlow::LOWER_MAP_LOCAL)));
    fake->Fail(tfaNftFake::ADD_ELEMENT, EPERM);
    EXPECT_FALSE(target->AddElement("198.51.100.8"));
    EXPECT_EQ(capture.LogLines(),
              Lines{"nft1: inet tarvix blocked: adding 198.51.100.8: Operation not permitted "
                    "(needs root or CAP_NET_ADMIN)\n"});
}

TEST_F(NFTsetTarget, ASetOfTheWrongKindIsRefusedBeforeAnythingIsAdded)
{
    struct Row {
        nft_set_spec spec;
        uint32_t ttl;
        const char *line;
    } rows[] = {
        {{NFT_KEY_IPV6_ADDR, 16, 0}, 0,
         "wrong set type: ipv6_addr (16 bytes), IPv4 addresses need ipv4_addr"},
        {{19 /* mark */, 4, 0}, 0,
         "wrong set type: datatype 19 (4 bytes), IPv4 addresses need ipv4_addr"},
        {{NFT_KEY_IPV4_ADDR, 4, NFT_SET_FLAG_INTERVAL}, 0,
         "set is an interval set, single addresses cannot be added"},
        {{NFT_KEY_IPV4_ADDR, 4, NFT_SET_FLAG_CONSTANT}, 0,
         "set is constant, single addresses cannot be added"},
        {{NFT_KEY_IPV4_ADDR, 4, 0}, 60, "set has no timeout flag, which \"ttl\": 60 needs"},
    };
    int n = 0;
    for (const auto &row : rows) {
        std::string set = "s" + std::to_string(n++);
        SCOPED_TRACE(set);
        ASSERT_EQ(fake->AddTable(NFT_FAMILY_IP, "tarvix", nullptr), 0);
        ASSERT_EQ(fake->AddSet(NFT_FAMILY_IP, "tarvix", set, row.spec, nullptr), 0);
        LogCapture capture;
        auto target = Make({{"set", set}, {"family", "ip"}, {"ttl", row.ttl}, {"managed", true}});
        EXPECT_EQ(capture.LogLines(),
                  Lines{"nft1: ip tarvix " + set + ": " + row.line + "\n"});
        EXPECT_FALSE(target->AddElement(OTHER));
        EXPECT_EQ(capture.LogLines().size(), 1u);
        EXPECT_EQ(fake->Requests(tfaNftFake::ADD_ELEMENT), 0u);
    }
}

TEST_F(NFTsetTarget, FlushOnCreateAndOnDestroyByFlags)
{
    auto filler = Make({{"set", "s"}, {"managed", true}});
    ASSERT_TRUE(filler->AddElement(OTHER));
    ASSERT_TRUE(filler->AddElement(OTHER6));

    // Managed alone does not empty the sets (unlike a pf table target).
    Make({{"set", "s"}, {"managed", true}});
    EXPECT_EQ(Set("s"), Lines{OTHER});

    LogCapture capture;
    auto flushing = Make({{"set", "s"}, {"flush", true}, {"flush_on_destroy", true}});
    EXPECT_EQ(Set("s"), Lines{});
    EXPECT_EQ(Set("s6"), Lines{});
    EXPECT_TRUE(capture.Contains("FlushSets: nft1, inet tarvix s: 1\n"));
    EXPECT_TRUE(flushing->AddElement(OTHER));
    flushing.reset();
    EXPECT_EQ(Set("s"), Lines{});
    EXPECT_EQ(capture.LogLines(), Lines{});

    EXPECT_TRUE(filler->AddElement(OTHER));
    EXPECT_TRUE(filler->FlushSets());
    EXPECT_EQ(Set("s"), Lines{});
    EXPECT_FALSE(filler->FlushSets());
}

TEST_F(NFTsetTarget, AFailingFlushIsReportedAndTheTargetStillLoads)
{
    auto filler = Make({{"set", "s"}, {"managed", true}});
    ASSERT_TRUE(filler->AddElement(OTHER));
    fake->Fail(tfaNftFake::FLUSH_SET, EBUSY);
    LogCapture capture;
    std::unique_ptr<tfaTargetNFTset> target;
    EXPECT_NO_THROW(target = Make({{"set", "s"}, {"flush", true}}));
    EXPECT_EQ(capture.LogLines(),
              (Lines{"nft1: inet tarvix s: flushing set: Device or resource busy\n",
                     "nft1: inet tarvix s6: flushing set: Device or resource busy\n"}));
    EXPECT_EQ(Set("s"), Lines{OTHER});
}

} // namespace
