// Cost of putting one address into an nftables set, the nftset target's per-flow request: through
// the netlink seam, through the target (address parsing included), and an address already
// present; beside the reference the target avoids, one `nft add element` process per address.
// Runs in a fresh network namespace of its own (root needed), never on the machine's firewall.
#include "agent/log_control.hpp"
#include "host/log.hpp"
#include "targets/nft/netlink.hpp"
#include "targets/nftset.hpp"

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sched.h>
#include <string>
#include <unistd.h>

namespace
{
constexpr char TABLE[] = "bench";
constexpr uint64_t TIMEOUT_MS = 3600 * 1000;

// A distinct IPv4 address for every `n` below 2^24: 10.x.y.z.
nft_addr Address(uint32_t n)
{
    nft_addr addr;
    uint32_t value = htonl((10u << 24) | (n & 0xffffff));
    memcpy(addr.bytes, &value, 4);
    return addr;
}

// An empty timeout set of its own for each benchmark.
void FreshSet(tfaNftKernel &kernel, const std::string &set)
{
    kernel.AddTable(NFT_FAMILY_INET, TABLE, nullptr);
    kernel.AddSet(NFT_FAMILY_INET, TABLE, set, nft_address_set_spec(false, true), nullptr);
    kernel.FlushSet(NFT_FAMILY_INET, TABLE, set);
}

void SeamAddNew(benchmark::State &state)
{
    tfaNftNetlink kernel;
    FreshSet(kernel, "seam");
    uint32_t n = 0;
    for (auto _ : state) {
        bool added = false;
        if (kernel.AddElement(NFT_FAMILY_INET, TABLE, "seam", Address(n++), TIMEOUT_MS, &added) ==
                -1 ||
            !added) {
            state.SkipWithError(strerror(errno));
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(SeamAddNew);

void SeamAddPresent(benchmark::State &state)
{
    tfaNftNetlink kernel;
    FreshSet(kernel, "present");
    kernel.AddElement(NFT_FAMILY_INET, TABLE, "present", Address(1), TIMEOUT_MS, nullptr);
    for (auto _ : state) {
        bool added = true;
        if (kernel.AddElement(NFT_FAMILY_INET, TABLE, "present", Address(1), TIMEOUT_MS,
                              &added) == -1 ||
            added) {
            state.SkipWithError("address not reported present");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(SeamAddPresent);

void TargetAddNew(benchmark::State &state)
{
    tfaTargetNFTsetConfig config;
    std::unique_ptr<tfaTargetNFTset> target(tfaTargetNFTset::Create(
        "bench", &config, {{"set", "target"}, {"table", TABLE}, {"managed", true},
                           {"flush", true}, {"ttl", 3600}},
        nullptr));
    uint32_t n = 0;
    char text[INET_ADDRSTRLEN];
    for (auto _ : state) {
        nft_addr addr = Address(n++);
        inet_ntop(AF_INET, addr.bytes, text, sizeof(text));
        if (!target->AddElement(text)) {
            state.SkipWithError("not added");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(TargetAddNew);

// The reference: what one address costs when each is a process of the nft program.
void NftProcessAddNew(benchmark::State &state)
{
    tfaNftNetlink kernel;
    FreshSet(kernel, "process");
    uint32_t n = 0;
    char text[INET_ADDRSTRLEN];
    for (auto _ : state) {
        nft_addr addr = Address(n++);
        inet_ntop(AF_INET, addr.bytes, text, sizeof(text));
        std::string command = std::string("nft add element inet ") + TABLE + " process '{ " +
                              text + " timeout 1h }'";
        if (system(command.c_str()) != 0) {
            state.SkipWithError("nft failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(NftProcessAddNew)->Iterations(200);
} // namespace

int main(int argc, char **argv)
{
    if (geteuid() != 0 || unshare(CLONE_NEWNET) == -1) {
        fprintf(stderr, "bench-nft: needs root and network namespaces (it runs in a fresh one): %s\n",
                geteuid() != 0 ? "not root" : strerror(errno));
        return 0;
    }
    td_set_debug(false);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
