#pragma once

// The one place that knows how this system writes a link-layer (Ethernet) address as a socket
// address: sockaddr_ll (AF_PACKET) on Linux, sockaddr_dl (AF_LINK) on FreeBSD. tdAddr keeps it
// in its sockaddr_storage, so the agent interface headers stay portable; only code that reads or
// writes the hardware address includes this header.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sys/socket.h>

#ifdef __FreeBSD__
#include <net/if_dl.h>
#include <net/if_types.h>
using td_link_sockaddr = sockaddr_dl;
#else
#include <linux/if_packet.h>
#include <net/if_arp.h>
using td_link_sockaddr = sockaddr_ll;
#endif

inline constexpr size_t TD_ETHER_ADDR_LEN = 6;

// Writes the Ethernet address `mac` (TD_ETHER_ADDR_LEN bytes) into the zeroed `ss`.
inline void td_link_set_ether(sockaddr_storage &ss, const uint8_t *mac)
{
    td_link_sockaddr link;
    memset(&link, 0, sizeof(link));
#ifdef __FreeBSD__
    link.sdl_len = sizeof(link);
    link.sdl_family = AF_LINK;
    link.sdl_type = IFT_ETHER;
    link.sdl_alen = TD_ETHER_ADDR_LEN;
    memcpy(LLADDR(&link), mac, TD_ETHER_ADDR_LEN);
#else
    link.sll_family = AF_PACKET;
    link.sll_hatype = ARPHRD_ETHER;
    link.sll_halen = TD_ETHER_ADDR_LEN;
    memcpy(link.sll_addr, mac, TD_ETHER_ADDR_LEN);
#endif
    memcpy(&ss, &link, sizeof(link));
}

// Copies the Ethernet address that `ss` holds into `mac` (TD_ETHER_ADDR_LEN bytes); false, with
// `mac` untouched, when `ss` holds none.
inline bool td_link_ether(const sockaddr_storage &ss, uint8_t *mac)
{
    td_link_sockaddr link;
    memcpy(&link, &ss, sizeof(link));
#ifdef __FreeBSD__
    if (link.sdl_family != AF_LINK || link.sdl_type != IFT_ETHER ||
        link.sdl_alen != TD_ETHER_ADDR_LEN ||
        link.sdl_nlen + TD_ETHER_ADDR_LEN > sizeof(link.sdl_data))
        return false;
    memcpy(mac, LLADDR(&link), TD_ETHER_ADDR_LEN);
#else
    if (link.sll_family != AF_PACKET || link.sll_hatype != ARPHRD_ETHER ||
        link.sll_halen != TD_ETHER_ADDR_LEN)
        return false;
    memcpy(mac, link.sll_addr, TD_ETHER_ADDR_LEN);
#endif
    return true;
}
