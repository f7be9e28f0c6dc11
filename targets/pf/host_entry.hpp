#pragma once

#include <cstdint>
#include <sys/socket.h>

struct pfr_buf;

// One parsed address: family, address and mask (an IPv4 address in the first four bytes), the
// interface named after an at sign, the IPv6 scope id. Lists are released with pfctl_free_host.
struct host_entry {
    union host_addr {
        uint8_t octets[16];
        uint32_t words[4];
    };

    sa_family_t af;
    host_addr addr;
    host_addr mask;
    char *ifname; // owned, or null
    uint32_t ifindex;
    host_entry *next;
};

// Parses "address[/prefix][@interface]" without looking names up. Returns a new list, or null
// with errno set after a debug line naming the fault. The interface does not reach pf.
host_entry *pfctl_host(const char *text);

// Parses a numeric address; with a prefix (`prefix` >= 0) also IPv4 network notation such as
// "10". The address is masked with the prefix, or the family's full width when `prefix` is -1.
// Returns one new entry, or null.
host_entry *pfctl_host_ip(const char *text, int prefix);

// Releases a list from pfctl_host, keeping errno.
void pfctl_free_host(host_entry *list);

// Appends every entry as a pfr_addr to a BUF_ADDRS buffer. Only single hosts are accepted: a
// network, or an unknown family, fails with EINVAL. 0, or -1 with errno set.
int pfctl_append_host(pfr_buf *buf, const host_entry *list);
