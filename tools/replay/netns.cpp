#include "tools/replay/netns.hpp"

#include "host/exception.hpp"

#include <fstream>

#ifdef TFA_HAVE_NFT
#include "targets/nft/netlink.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>
#endif

namespace
{
bool entered = false;
#ifdef TFA_HAVE_NFT
constexpr const char *NETNS_DIR = "/run/netns/";
#endif
} // namespace

bool tfaReplayNetns::NamesNftSet(const std::string &config)
{
    std::ifstream file(config);
    json top = json::parse(file, nullptr, false, true);
    if (!top.is_object())
        return false;
    auto targets = top.find("targets");
    if (targets == top.end() || !targets->is_object())
        return false;
    for (const auto &target : *targets) {
        if (!target.is_object())
            continue;
        auto type = target.find("target_type");
        auto enabled = target.find("target_enabled");
        if (type != target.end() && *type == "nftset" &&
            !(enabled != target.end() && enabled->is_boolean() && !enabled->get<bool>()))
            return true;
    }
    return false;
}

bool tfaReplayNetns::Entered()
{
    return entered;
}

#ifdef TFA_HAVE_NFT

void tfaReplayNetns::Enter(const std::string &config, bool fresh, const std::string &name)
{
    if (fresh && !name.empty())
        throw tdException("--nft-in-netns and --netns exclude each other");
    if (fresh) {
        if (unshare(CLONE_NEWNET) == -1)
            throw tdException("--nft-in-netns: cannot make a network namespace: %s%s",
                              strerror(errno), errno == EPERM ? " (needs root)" : "");
        entered = true;
        return;
    }
    if (!name.empty()) {
        if (name.find('/') != std::string::npos || name == "." || name == "..")
            throw tdException("--netns: not a namespace name: %s", name.c_str());
        std::string path = NETNS_DIR + name;
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd == -1)
            throw tdException("--netns: %s: %s", path.c_str(), strerror(errno));
        int rc = setns(fd, CLONE_NEWNET);
        int error = errno;
        close(fd);
        if (rc == -1)
            throw tdException("--netns: %s: %s", path.c_str(), strerror(error));
        entered = true;
        return;
    }
    if (NamesNftSet(config))
        throw tdException("%s: nftset targets change the kernel's firewall; tfa-replay runs them "
                          "only in a network namespace: give --nft-in-netns (a fresh one) or "
                          "--netns NAME",
                          config.c_str());
}

json tfaReplayNetns::Sets()
{
    json sets = json::object();
    if (!entered)
        return sets;
    tfaNftNetlink kernel;
    std::vector<nft_set_listing> listings;
    if (kernel.ListSets(&listings) == -1)
        throw tdException("nft sets: %s", strerror(errno));
    for (const auto &listing : listings) {
        std::vector<nft_addr> addresses;
        for (const auto &element : listing.elements)
            if (element.is_addr)
                addresses.push_back(element.addr);
        std::sort(addresses.begin(), addresses.end());
        json elements = json::array();
        for (const auto &addr : addresses)
            elements.push_back(nft_addr_string(addr));
        sets[nft_family_name(listing.family) + " " + listing.table + " " + listing.set] = elements;
    }
    return sets;
}

uint64_t tfaReplayNetns::Elements()
{
    if (!entered)
        return 0;
    tfaNftNetlink kernel;
    std::vector<nft_set_listing> listings;
    if (kernel.ListSets(&listings) == -1)
        return 0;
    uint64_t count = 0;
    for (const auto &listing : listings)
        count += listing.elements.size();
    return count;
}

#else

void tfaReplayNetns::Enter(const std::string &, bool, const std::string &) {}

json tfaReplayNetns::Sets()
{
    return json::object();
}

uint64_t tfaReplayNetns::Elements()
{
    return 0;
}

#endif
