// End to end: traffic is really blocked. Two network namespaces made by the test, joined by a
// veth pair with addresses that exist only inside them (10.200.x.y/30); in the first, the
// operator's nft rule drops packets from addresses in the set. A UDP datagram from the peer
// passes; then tfa-replay replays one flow event through the plug-in, in the first namespace
// (--netns), which puts the peer's address in the set; the same datagram is dropped after.
// Every wait is bounded in count and time.
#include "host/json.hpp"
#include "nft/netns.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

const std::string tool = std::string(TFA_BINARY_DIR) + "/bin/tfa-replay";

constexpr char GUARDED_ADDRESS[] = "10.200.0.1"; // in namespace "a", behind the rule
constexpr char PEER_ADDRESS[] = "10.200.0.2";    // in namespace "b", to be blocked
constexpr uint16_t PORT = 40404;
constexpr int ATTEMPTS = 5;
constexpr int WAIT_MS = 400;

class Blocking : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string reason = KernelUnavailable();
        if (!reason.empty())
            GTEST_SKIP() << reason;
        std::string prefix = "tfa-nft-" + std::to_string(getpid()) + "-";
        guarded = std::make_unique<NamedNetns>(prefix + "a");
        peer = std::make_unique<NamedNetns>(prefix + "b");
        if (!guarded->Made() || !peer->Made())
            GTEST_SKIP() << "ip netns add failed: named network namespaces unavailable";

        char pattern[] = "/tmp/tfa-nft-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }

    void TearDown() override
    {
        if (receiver != -1)
            close(receiver);
        if (sender != -1)
            close(sender);
        peer.reset();
        guarded.reset();
        if (!dir.empty())
            Shell("rm -rf '" + dir + "'");
    }

    static void Run(const std::string &command)
    {
        std::string output;
        ASSERT_EQ(Shell(command, &output), 0) << command << "\n" << output;
    }

    // A UDP socket made inside namespace `name` (a socket stays in the namespace it was made
    // in), bound to `address` when given.
    static int UdpSocket(const std::string &name, const char *address)
    {
        int fd = -1;
        bool entered = InNetns(name, [&]() {
            fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            if (fd == -1 || address == nullptr)
                return;
            sockaddr_in bound{};
            bound.sin_family = AF_INET;
            bound.sin_port = htons(PORT);
            inet_pton(AF_INET, address, &bound.sin_addr);
            if (bind(fd, reinterpret_cast<sockaddr *>(&bound), sizeof(bound)) == -1) {
                close(fd);
                fd = -1;
            }
        });
        return entered ? fd : -1;
    }

    // Sends up to ATTEMPTS datagrams from the peer, each followed by a wait of at most
    // WAIT_MS for it to arrive; true as soon as one arrives.
    bool DatagramArrives(const std::string &label)
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(PORT);
        inet_pton(AF_INET, GUARDED_ADDRESS, &to.sin_addr);
        for (int attempt = 0; attempt < ATTEMPTS; attempt++) {
            std::string text = label + "-" + std::to_string(attempt);
            if (sendto(sender, text.data(), text.size(), 0, reinterpret_cast<sockaddr *>(&to),
                       sizeof(to)) == -1)
                ADD_FAILURE() << "sendto: " << strerror(errno);
            pollfd ready{receiver, POLLIN, 0};
            while (poll(&ready, 1, WAIT_MS) == 1) {
                char buffer[256];
                ssize_t got = recv(receiver, buffer, sizeof(buffer), 0);
                if (got > 0 && std::string(buffer, static_cast<size_t>(got)).rfind(label, 0) == 0)
                    return true;
            }
        }
        return false;
    }

    std::unique_ptr<NamedNetns> guarded;
    std::unique_ptr<NamedNetns> peer;
    std::string dir;
    int receiver = -1;
    int sender = -1;
};

TEST_F(Blocking, AFlowEventThroughThePluginBlocksThePeer)
{
    const std::string a = guarded->name;
    const std::string b = peer->name;
    // The veth pair, one end in each namespace, addresses only there.
    Run("ip -n " + a + " link add veth-a type veth peer name veth-b netns " + b);
    Run("ip -n " + a + " addr add " + GUARDED_ADDRESS + "/30 dev veth-a");
    Run("ip -n " + b + " addr add " + PEER_ADDRESS + "/30 dev veth-b");
    Run("ip -n " + a + " link set veth-a up");
    Run("ip -n " + b + " link set veth-b up");
    // The operator's ruleset in "a": the set (as the target would make it) and one rule.
    Run("ip netns exec " + a + " nft -f - <<'EOF'\n"
        "add table inet tarvix\n"
        "add set inet tarvix blocked { type ipv4_addr; flags timeout; }\n"
        "add chain inet tarvix input { type filter hook input priority 0; policy accept; }\n"
        "add rule inet tarvix input ip saddr @blocked drop\n"
        "EOF");

    receiver = UdpSocket(a, GUARDED_ADDRESS);
    sender = UdpSocket(b, nullptr);
    ASSERT_NE(receiver, -1);
    ASSERT_NE(sender, -1);
    ASSERT_TRUE(DatagramArrives("before")) << "the peer cannot reach the guarded side at all";

    // One completed flow from the guarded side to the peer, replayed through the plug-in.
    std::ofstream(dir + "/config.json") << R"({
        "targets": {
            "block": {"target_type": "nftset", "set": "blocked", "managed": true, "ttl": 300}
        },
        "actions": {
            "block-peer": {"criteria": "other_ip == 10.200.0.2", "targets": "block"}
        }
    })";
    json flow = {{"type", "flow_dpi_complete"},
                 {"interface", "veth-a"},
                 {"internal", true},
                 {"flow",
                  {{"digest", "0123456789abcdef"},
                   {"ip_version", 4},
                   {"ip_protocol", 17},
                   {"local_ip", GUARDED_ADDRESS},
                   {"local_port", PORT},
                   {"other_ip", PEER_ADDRESS},
                   {"other_port", 50000},
                   {"local_origin", false},
                   {"first_seen_at", 1718000000000},
                   {"last_seen_at", 1718000000100}}}};
    std::ofstream(dir + "/flows.jsonl") << flow.dump() << "\n";
    std::string output;
    int status = Shell("'" + tool + "' run --netns " + a + " -c '" + dir +
                           "/config.json' --linger 0 --summary-json '" + dir + "/summary.json' '" +
                           dir + "/flows.jsonl'",
                       &output);
    ASSERT_EQ(status, 0) << output;
    EXPECT_NE(output.find("nft sets: 2\n  inet tarvix blocked: 10.200.0.2\n"), std::string::npos)
        << output;
    std::ifstream summary_file(dir + "/summary.json");
    json summary = json::parse(summary_file, nullptr, false);
    EXPECT_EQ(summary["nft_sets"]["inet tarvix blocked"], json::array({PEER_ADDRESS}));
    EXPECT_EQ(summary["nft_sets"]["inet tarvix blocked6"], json::array());

    // The element outlives the replay (no flush_on_destroy), with the target's timeout.
    std::string listed;
    ASSERT_EQ(Shell("ip netns exec " + a + " nft -j list set inet tarvix blocked", &listed), 0);
    json set = json::parse(listed, nullptr, false);
    ASSERT_TRUE(set.is_object()) << listed;
    json element = set["nftables"][1]["set"]["elem"][0]["elem"];
    EXPECT_EQ(element["val"], PEER_ADDRESS);
    EXPECT_EQ(element["timeout"], 300);

    EXPECT_FALSE(DatagramArrives("after")) << "the peer still gets through";

    // Only the set did it: with the element gone, datagrams pass again.
    Run("ip netns exec " + a + " nft delete element inet tarvix blocked '{ 10.200.0.2 }'");
    EXPECT_TRUE(DatagramArrives("again"));
}

TEST_F(Blocking, ReplayRefusesNftsetTargetsOutsideANamespace)
{
    std::ofstream(dir + "/config.json") << R"({
        "targets": {"block": {"target_type": "nftset", "set": "blocked", "managed": true}}
    })";
    std::ofstream(dir + "/flows.jsonl") << "";
    std::string output;
    EXPECT_EQ(Shell("'" + tool + "' run -c '" + dir + "/config.json' '" + dir + "/flows.jsonl'",
                    &output),
              1);
    EXPECT_NE(output.find("nftset targets change the kernel's firewall; tfa-replay runs them "
                          "only in a network namespace: give --nft-in-netns (a fresh one) or "
                          "--netns NAME"),
              std::string::npos)
        << output;
    EXPECT_EQ(Shell("'" + tool + "' check -c '" + dir + "/config.json'", &output), 1);

    EXPECT_EQ(Shell("'" + tool + "' check --nft-in-netns -c '" + dir + "/config.json'", &output),
              0)
        << output;
    EXPECT_NE(output.find("block: inet tarvix blocked: set created."), std::string::npos);
    EXPECT_EQ(Shell("'" + tool + "' run --netns no-such-netns-here -c '" + dir +
                        "/config.json' '" + dir + "/flows.jsonl'",
                    &output),
              1);
    EXPECT_NE(output.find("--netns: /run/netns/no-such-netns-here: No such file or directory"),
              std::string::npos)
        << output;
}

} // namespace
