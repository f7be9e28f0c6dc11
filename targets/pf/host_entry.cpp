#include "targets/pf/host_entry.hpp"

#include "targets/pf/debug.hpp"
#include "targets/pf/pfr_buf.hpp"
#include "targets/pf/pfvar.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <stdlib.h>
#include <string.h>

namespace
{

constexpr int PREFIX_MAX = 128;
constexpr int IPV4_WIDTH = 32;
constexpr int IPV6_WIDTH = 128;
constexpr size_t IPV4_SIZE = 4;
constexpr size_t IPV6_SIZE = 16;

// Sets the first `bits` bits of `mask`, in network order.
void set_mask(host_entry::host_addr &mask, int bits)
{
    memset(&mask, 0, sizeof(mask));
    int word = 0;
    for (; bits >= 32; word++, bits -= 32)
        mask.words[word] = 0xffffffffU;
    if (bits > 0)
        mask.words[word] = htonl(0xffffffffU << (32 - bits));
}

// Number of leading one bits of `mask`.
int count_mask(const host_entry::host_addr &mask)
{
    int bits = 0;
    int word = 0;
    for (; word < 4 && mask.words[word] == 0xffffffffU; word++)
        bits += 32;
    if (word < 4)
        for (uint32_t rest = ntohl(mask.words[word]); rest & 0x80000000U; rest <<= 1)
            bits++;
    return bits;
}

host_entry *new_entry()
{
    auto *entry = static_cast<host_entry *>(calloc(1, sizeof(host_entry)));
    if (entry == nullptr)
        pf_dprintf("%s: calloc, %s\n", "pfctl_host_ip", strerror(errno));
    return entry;
}

host_entry *parse_numeric(const char *text)
{
    addrinfo hints{};
    addrinfo *result = nullptr;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICHOST;
    if (getaddrinfo(text, "0", &hints, &result) != 0)
        return nullptr;
    // The resolver also takes classful shorthand ("10" as 0.0.0.10); that is network notation
    // here, read with its prefix by parse_network.
    in_addr dotted;
    if (result->ai_family == AF_INET && inet_pton(AF_INET, text, &dotted) != 1) {
        freeaddrinfo(result);
        return nullptr;
    }

    host_entry *entry = new_entry();
    if (entry != nullptr) {
        entry->af = static_cast<sa_family_t>(result->ai_family);
        if (result->ai_family == AF_INET) {
            const auto *in = reinterpret_cast<const sockaddr_in *>(result->ai_addr);
            memcpy(entry->addr.octets, &in->sin_addr, IPV4_SIZE);
        } else if (result->ai_family == AF_INET6) {
            const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(result->ai_addr);
            memcpy(entry->addr.octets, &in6->sin6_addr, IPV6_SIZE);
            entry->ifindex = in6->sin6_scope_id;
        }
    }
    freeaddrinfo(result);
    return entry;
}

host_entry *parse_network(const char *text)
{
    in_addr network{};
    if (inet_net_pton(AF_INET, text, &network, sizeof(network)) == -1) {
        pf_dprintf("%s: inet_net_pton: %s: %s\n", "pfctl_host_ip", text, strerror(errno));
        return nullptr;
    }
    host_entry *entry = new_entry();
    if (entry != nullptr) {
        entry->af = AF_INET;
        memcpy(entry->addr.octets, &network, IPV4_SIZE);
    }
    return entry;
}

} // namespace

host_entry *pfctl_host_ip(const char *text, int prefix)
{
    host_entry *entry = parse_numeric(text);
    if (entry == nullptr && prefix >= 0)
        entry = parse_network(text);
    if (entry == nullptr)
        return nullptr;

    if (prefix < 0)
        prefix = entry->af == AF_INET ? IPV4_WIDTH : IPV6_WIDTH;
    set_mask(entry->mask, prefix);
    for (int word = 0; word < 4; word++)
        entry->addr.words[word] &= entry->mask.words[word];
    return entry;
}

host_entry *pfctl_host(const char *text)
{
    host_entry *list = nullptr;
    char *copy = nullptr;
    char *ifname = nullptr;
    char *cut;
    const char *reason = nullptr;
    int prefix = -1;

    if (text == nullptr) {
        errno = EINVAL;
        pf_dprintf("%s: IP address not found: %s\n", "pfctl_host", "");
        return nullptr;
    }
    copy = strdup(text);
    if (copy == nullptr) {
        pf_dprintf("%s: strdup, %s\n", "pfctl_host", strerror(errno));
        return nullptr;
    }

    if ((cut = strrchr(copy, '@')) != nullptr) {
        *cut = '\0';
        ifname = cut + 1;
    }
    if ((cut = strchr(copy, '/')) != nullptr) {
        prefix = static_cast<int>(strtonum(cut + 1, 0, PREFIX_MAX, &reason));
        if (reason != nullptr) {
            pf_dprintf("%s: netmask, %s: %s\n", "pfctl_host", reason, cut);
            errno = EINVAL;
            goto done;
        }
        *cut = '\0';
    }

    list = pfctl_host_ip(copy, prefix);
    if (list == nullptr) {
        pf_dprintf("%s: IP address not found: %s\n", "pfctl_host", text);
        errno = EINVAL;
        goto done;
    }
    for (host_entry *entry = list; ifname != nullptr && entry != nullptr; entry = entry->next) {
        entry->ifname = strdup(ifname);
        if (entry->ifname == nullptr) {
            pf_dprintf("%s: strdup, %s\n", "pfctl_host", strerror(errno));
            pfctl_free_host(list);
            list = nullptr;
            goto done;
        }
    }

done:
    free(copy);
    return list;
}

void pfctl_free_host(host_entry *list)
{
    int saved = errno;
    while (list != nullptr) {
        host_entry *next = list->next;
        free(list->ifname);
        free(list);
        list = next;
    }
    errno = saved;
}

int pfctl_append_host(pfr_buf *buf, const host_entry *list)
{
    for (const host_entry *entry = list; entry != nullptr; entry = entry->next) {
        pfr_addr addr;
        int width;

        memset(&addr, 0, sizeof(addr));
        addr.pfra_af = static_cast<uint8_t>(entry->af);
        int prefix = count_mask(entry->mask);
        switch (entry->af) {
        case AF_INET:
            memcpy(&addr.pfra_ip4addr, entry->addr.octets, IPV4_SIZE);
            width = IPV4_WIDTH;
            break;
        case AF_INET6:
            memcpy(&addr.pfra_ip6addr, entry->addr.octets, IPV6_SIZE);
            width = IPV6_WIDTH;
            break;
        default:
            errno = EINVAL;
            pf_dprintf("%s: address family: %s\n", "pfctl_append_host", strerror(errno));
            return -1;
        }
        if (prefix != width) {
            errno = EINVAL;
            pf_dprintf("%s: network bits: %s\n", "pfctl_append_host", strerror(EINVAL));
            return -1;
        }
        addr.pfra_net = static_cast<uint8_t>(prefix);
        if (pfr_buf_add(buf, &addr) == -1)
            return -1;
    }
    return 0;
}
