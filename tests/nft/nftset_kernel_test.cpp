// The nftset target and its netlink seam against the real Linux kernel. Each test runs in a
// fresh network namespace of its own (root needed; otherwise every test reports skipped with the
// reason), so the machine's own firewall is never touched. What the kernel holds is read back
// both through the seam and through the nft program, the operator's view.
#include "host/json.hpp"
#include "nft/netns.hpp"
#include "plugin/plugin.hpp"
#include "support/capture.hpp"
#include "targets/nft/netlink.hpp"
#include "targets/nftset.hpp"
#include "tools/replay/host_setup.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <grp.h>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using Lines = std::vector<std::string>;

class NftKernel : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string reason = KernelUnavailable();
        if (!reason.empty())
            GTEST_SKIP() << reason;
        netns = std::make_unique<FreshNetns>();
        if (!netns->Failure().empty())
            GTEST_SKIP() << netns->Failure();
        config = std::make_unique<tfaTargetNFTsetConfig>();
    }

    void TearDown() override
    {
        config.reset();
        netns.reset();
    }

    std::unique_ptr<tfaTargetNFTset> Make(const json &target_config)
    {
        return std::unique_ptr<tfaTargetNFTset>(
            tfaTargetNFTset::Create("nft1", config.get(), target_config, nullptr));
    }

    // `nft -j ARGS`, parsed; the members of "nftables" other than "metainfo".
    static std::vector<json> Nft(const std::string &arguments)
    {
        std::string output;
        EXPECT_EQ(Shell("nft -j " + arguments, &output), 0) << output;
        std::vector<json> objects;
        json parsed = json::parse(output, nullptr, false);
        if (parsed.is_object() && parsed.contains("nftables"))
            for (const auto &object : parsed["nftables"])
                if (!object.contains("metainfo"))
                    objects.push_back(object);
        return objects;
    }

    // The set as `nft -j list set` shows it.
    static json NftSet(const std::string &family, const std::string &table,
                       const std::string &set)
    {
        auto objects = Nft("list set " + family + " " + table + " " + set);
        return objects.size() == 1 ? objects[0]["set"] : json();
    }

    // The addresses of the set, sorted, through the seam.
    static Lines Addresses(uint8_t family, const std::string &table, const std::string &set)
    {
        tfaNftNetlink kernel;
        std::vector<nft_element> elements;
        Lines addresses;
        if (kernel.ListElements(family, table, set, &elements) == -1)
            return {"error: " + std::string(strerror(errno))};
        for (const auto &element : elements)
            addresses.push_back(nft_addr_string(element.addr));
        std::sort(addresses.begin(), addresses.end());
        return addresses;
    }

    static void NftScript(const std::string &script)
    {
        std::string output;
        ASSERT_EQ(Shell("nft -f - <<'EOF'\n" + script + "\nEOF", &output), 0) << output;
    }

    std::unique_ptr<FreshNetns> netns;
    std::unique_ptr<tfaTargetNFTsetConfig> config;
};

TEST_F(NftKernel, ManagedSetsHaveTheTypeAndFlagsTheOperatorSees)
{
    LogCapture capture;
    auto both = Make({{"set", "blocked"}, {"managed", true}, {"ttl", 60}});
    auto plain = Make({{"set", "clients"}, {"family", "ip"}, {"managed", true}});
    auto ip6 = Make({{"set", "v6"}, {"family", "ip6"}, {"table", "fw6"}, {"managed", true},
                     {"ttl", 5}});
    EXPECT_EQ(capture.LogLines(), Lines{});

    json set = NftSet("inet", "tarvix", "blocked");
    EXPECT_EQ(set["type"], "ipv4_addr");
    EXPECT_EQ(set["flags"], json::array({"timeout"}));
    set = NftSet("inet", "tarvix", "blocked6");
    EXPECT_EQ(set["type"], "ipv6_addr");
    EXPECT_EQ(set["flags"], json::array({"timeout"}));
    set = NftSet("ip", "tarvix", "clients");
    EXPECT_EQ(set["type"], "ipv4_addr");
    EXPECT_FALSE(set.contains("flags"));
    set = NftSet("ip6", "fw6", "v6");
    EXPECT_EQ(set["type"], "ipv6_addr");
    EXPECT_EQ(set["flags"], json::array({"timeout"}));

    // The same through the seam; and a second load finds everything in place.
    tfaNftNetlink kernel;
    nft_set_spec spec;
    ASSERT_EQ(kernel.GetSet(NFT_FAMILY_INET, "tarvix", "blocked6", &spec), 0);
    EXPECT_EQ(spec.key_type, NFT_KEY_IPV6_ADDR);
    EXPECT_EQ(spec.key_len, 16u);
    EXPECT_EQ(spec.flags & NFT_SET_FLAG_TIMEOUT, NFT_SET_FLAG_TIMEOUT);
    capture.Clear();
    auto again = Make({{"set", "blocked"}, {"managed", true}, {"ttl", 60}});
    EXPECT_TRUE(capture.Contains("nft1: inet tarvix: table exists.\n"));
    EXPECT_TRUE(capture.Contains("nft1: inet tarvix blocked: set exists.\n"));
    EXPECT_EQ(capture.LogLines(), Lines{});
}

TEST_F(NftKernel, ElementsOfBothFamiliesCarryTheirTimeout)
{
    auto target = Make({{"set", "blocked"}, {"managed", true}, {"ttl", 120}});
    EXPECT_TRUE(target->AddElement("198.51.100.7"));
    EXPECT_TRUE(target->AddElement("2001:db8::9"));
    EXPECT_FALSE(target->AddElement("198.51.100.7")); // already present

    tfaNftNetlink kernel;
    std::vector<nft_element> elements;
    ASSERT_EQ(kernel.ListElements(NFT_FAMILY_INET, "tarvix", "blocked", &elements), 0);
    ASSERT_EQ(elements.size(), 1u);
    EXPECT_EQ(nft_addr_string(elements[0].addr), "198.51.100.7");
    EXPECT_EQ(elements[0].timeout_ms, 120000u);
    EXPECT_LE(elements[0].expires_ms, 120000u);
    EXPECT_GT(elements[0].expires_ms, 100000u);
    ASSERT_EQ(kernel.ListElements(NFT_FAMILY_INET, "tarvix", "blocked6", &elements), 0);
    ASSERT_EQ(elements.size(), 1u);
    EXPECT_EQ(nft_addr_string(elements[0].addr), "2001:db8::9");
    EXPECT_EQ(elements[0].timeout_ms, 120000u);

    json set = NftSet("inet", "tarvix", "blocked");
    ASSERT_EQ(set["elem"].size(), 1u);
    EXPECT_EQ(set["elem"][0]["elem"]["val"], "198.51.100.7");
    EXPECT_EQ(set["elem"][0]["elem"]["timeout"], 120);
    set = NftSet("inet", "tarvix", "blocked6");
    ASSERT_EQ(set["elem"].size(), 1u);
    EXPECT_EQ(set["elem"][0]["elem"]["val"], "2001:db8::9");

    // Without a ttl the elements have no timeout.
    auto plain = Make({{"set", "kept"}, {"managed", true}});
    EXPECT_TRUE(plain->AddElement("192.0.2.1"));
    ASSERT_EQ(kernel.ListElements(NFT_FAMILY_INET, "tarvix", "kept", &elements), 0);
    ASSERT_EQ(elements.size(), 1u);
    EXPECT_EQ(elements[0].timeout_ms, 0u);
    EXPECT_TRUE(plain->RemoveElement("192.0.2.1"));
    EXPECT_FALSE(plain->RemoveElement("192.0.2.1"));
    EXPECT_EQ(Addresses(NFT_FAMILY_INET, "tarvix", "kept"), Lines{});
}

TEST_F(NftKernel, TheKernelExpiresElementsAfterTheirTtl)
{
    auto target = Make({{"set", "short"}, {"managed", true}, {"ttl", 1}});
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(target->AddElement("198.51.100.7"));
    ASSERT_TRUE(target->AddElement("2001:db8::7"));
    EXPECT_EQ(Addresses(NFT_FAMILY_INET, "tarvix", "short"), Lines{"198.51.100.7"});

    // Bounded: at most 50 looks, 100 ms apart.
    bool gone = false;
    for (int look = 0; look < 50 && !gone; look++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        gone = Addresses(NFT_FAMILY_INET, "tarvix", "short").empty() &&
               Addresses(NFT_FAMILY_INET, "tarvix", "short6").empty();
    }
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(gone);
    EXPECT_GE(waited, std::chrono::milliseconds(900));
    // Expired, so it can be added again, with a fresh timeout.
    EXPECT_TRUE(target->AddElement("198.51.100.7"));
}

TEST_F(NftKernel, FlushOnLoadAndOnDestroyByFlags)
{
    NftScript("add table inet tarvix\n"
              "add set inet tarvix s { type ipv4_addr; }\n"
              "add set inet tarvix s6 { type ipv6_addr; }\n"
              "add element inet tarvix s { 192.0.2.1, 192.0.2.2 }\n"
              "add element inet tarvix s6 { 2001:db8::1 }");
    {
        auto keeping = Make({{"set", "s"}, {"managed", true}});
        EXPECT_EQ(Addresses(NFT_FAMILY_INET, "tarvix", "s"), (Lines{"192.0.2.1", "192.0.2.2"}));
    }
    EXPECT_EQ(Addresses(NFT_FAMILY_INET, "tarvix", "s").size(), 2u);
    {
        auto flushing = Make({{"set", "s"}, {"flush", true}});
        EXPECT_EQ(Addresses(NFT_FAMILY_INET, "tarvix", "s"), Lines{});
        EXPECT_EQ(Addresses(NFT_FAMILY_INET, "tarvix", "s6"), Lines{});
        EXPECT_TRUE(flushing->AddElement("192.0.2.3"));
    }
    EXPECT_EQ(Addresses(NFT_FAMILY_INET, "tarvix", "s"), Lines{"192.0.2.3"});
    {
        auto destroying = Make({{"set", "s"}, {"flush_on_destroy", true}});
        EXPECT_TRUE(destroying->AddElement("2001:db8::3"));
        EXPECT_EQ(Addresses(NFT_FAMILY_INET, "tarvix", "s"), Lines{"192.0.2.3"});
    }
    EXPECT_EQ(Addresses(NFT_FAMILY_INET, "tarvix", "s"), Lines{});
    EXPECT_EQ(Addresses(NFT_FAMILY_INET, "tarvix", "s6"), Lines{});
    // Table and sets stay.
    EXPECT_EQ(NftSet("inet", "tarvix", "s")["type"], "ipv4_addr");
}

TEST_F(NftKernel, APluginReloadFlushesAndItsEndFlushesByFlags)
{
    char pattern[] = "/tmp/tfa-nft-config-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string path = std::string(pattern) + "/flow-actions.json";
    std::ofstream(path) << R"({
        "target_defaults": {"nftset": {"table": "tarvix", "managed": true, "ttl": 600}},
        "targets": {
            "reloaded": {"target_type": "nftset", "set": "r", "flush": true},
            "ended": {"target_type": "nftset", "set": "e", "flush_on_destroy": true},
            "kept": {"target_type": "nftset", "set": "k"}
        },
        "actions": {"all": {"criteria": "*", "targets": ["reloaded", "ended", "kept"]}}
    })";
    tfaHostSetup host("fa0", {}, "", {});
    std::unique_ptr<tdPluginProcessor> plugin(tdPluginInit("fa0", {{"conf_filename", path}}));
    ASSERT_NE(plugin, nullptr);
    auto *flow_actions = static_cast<tfaPlugin *>(plugin.get());
    flow_actions->Reload();
    for (const char *set : {"r", "e", "k"})
        NftScript(std::string("add element inet tarvix ") + set + " { 192.0.2.1 timeout 10m }");

    flow_actions->Reload();
    EXPECT_EQ(Addresses(NFT_FAMILY_INET, "tarvix", "r"), Lines{});
    EXPECT_EQ(Addresses(NFT_FAMILY_INET, "tarvix", "e"), Lines{});
    EXPECT_EQ(Addresses(NFT_FAMILY_INET, "tarvix", "k"), Lines{"192.0.2.1"});

    NftScript("add element inet tarvix e { 192.0.2.2 timeout 10m }\n"
              "add element inet tarvix r { 192.0.2.2 timeout 10m }");
    plugin.reset();
    EXPECT_EQ(Addresses(NFT_FAMILY_INET, "tarvix", "e"), Lines{});
    EXPECT_EQ(Addresses(NFT_FAMILY_INET, "tarvix", "r"), Lines{"192.0.2.2"});
    EXPECT_EQ(Addresses(NFT_FAMILY_INET, "tarvix", "k"), Lines{"192.0.2.1"});
    Shell("rm -rf '" + std::string(pattern) + "'");
}

TEST_F(NftKernel, MissingTableMissingSetAndWrongSetsAreOneClearLineEach)
{
    LogCapture capture;
    auto missing = Make({{"set", "blocked"}, {"family", "ip"}});
    EXPECT_FALSE(missing->AddElement("198.51.100.7"));
    NftScript("add table ip tarvix");
    EXPECT_FALSE(missing->AddElement("198.51.100.7"));
    NftScript("add set ip tarvix wrong { type ether_addr; }\n"
              "add set ip tarvix notimeout { type ipv4_addr; }\n"
              "add set ip tarvix ranges { type ipv4_addr; flags interval; }");
    auto wrong = Make({{"set", "wrong"}, {"family", "ip"}});
    auto notimeout = Make({{"set", "notimeout"}, {"family", "ip"}, {"ttl", 60}});
    auto ranges = Make({{"set", "ranges"}, {"family", "ip"}});
    for (auto *target : {wrong.get(), notimeout.get(), ranges.get()})
        EXPECT_FALSE(target->AddElement("198.51.100.7"));
    EXPECT_EQ(
        capture.LogLines(),
        (Lines{
            "nft1: ip tarvix blocked: checking set: table does not exist (create it, or set "
            "\"managed\": true)\n",
            "nft1: ip tarvix blocked: checking set: set does not exist (create it, or set "
            "\"managed\": true)\n",
            "nft1: ip tarvix wrong: wrong set type: datatype 9 (6 bytes), IPv4 addresses need "
            "ipv4_addr\n",
            "nft1: ip tarvix notimeout: set has no timeout flag, which \"ttl\": 60 needs\n",
            "nft1: ip tarvix ranges: set is an interval set, single addresses cannot be added\n",
        }));
    NftScript("add set ip tarvix blocked { type ipv4_addr; }");
    EXPECT_TRUE(missing->AddElement("198.51.100.7"));

    // The kernel's own answers at the seam: a key of the wrong length, a timeout the set
    // cannot hold.
    tfaNftNetlink kernel;
    nft_addr v6;
    ASSERT_TRUE(nft_addr_parse("2001:db8::1", &v6));
    nft_addr v4;
    ASSERT_TRUE(nft_addr_parse("192.0.2.1", &v4));
    errno = 0;
    EXPECT_EQ(kernel.AddElement(NFT_FAMILY_IP, "tarvix", "blocked", v6, 0, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(kernel.AddElement(NFT_FAMILY_IP, "tarvix", "notimeout", v4, 1000, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(kernel.AddElement(NFT_FAMILY_IP, "tarvix", "absent", v4, 0, nullptr), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(kernel.GetTable(NFT_FAMILY_IP6, "tarvix"), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(kernel.AddTable(NFT_FAMILY_IP, std::string(300, 'x'), nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
}

// A process without CAP_NET_ADMIN (here: root turned into nobody, inside the test's namespace)
// is refused every request; the target writes one line saying so and goes on.
TEST_F(NftKernel, WithoutNetAdminEveryRequestIsRefusedWithEPERM)
{
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        close(pipe_fds[0]);
        std::string report;
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            report = "could not become nobody";
        else {
            tfaNftNetlink kernel;
            errno = 0;
            int rc = kernel.AddTable(NFT_FAMILY_INET, "tarvix", nullptr);
            report += "AddTable " + std::to_string(rc) + " " + strerror(errno) + "\n";
            rc = kernel.GetSet(NFT_FAMILY_INET, "tarvix", "s", nullptr);
            report += "GetSet " + std::to_string(rc) + " " + strerror(errno) + "\n";
            tfaTargetNFTsetConfig own;
            LogCapture capture;
            std::unique_ptr<tfaTargetNFTset> target(tfaTargetNFTset::Create(
                "nft1", &own, {{"set", "s"}, {"family", "ip"}, {"managed", true}}, nullptr));
            report += target->AddElement("198.51.100.7") ? "added\n" : "not added\n";
            for (const auto &line : capture.LogLines())
                report += line;
        }
        ssize_t written = write(pipe_fds[1], report.data(), report.size());
        _exit(written == static_cast<ssize_t>(report.size()) ? 0 : 1);
    }
    close(pipe_fds[1]);
    std::string report;
    char chunk[4096];
    ssize_t got;
    while ((got = read(pipe_fds[0], chunk, sizeof(chunk))) > 0)
        report.append(chunk, static_cast<size_t>(got));
    close(pipe_fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(report, "AddTable -1 Operation not permitted\n"
                      "GetSet -1 Operation not permitted\n"
                      "not added\n"
                      "nft1: ip tarvix s: creating table: Operation not permitted (needs root or "
                      "CAP_NET_ADMIN)\n");
}

} // namespace
