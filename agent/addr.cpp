#include "host/addr.hpp"

#include "agent/mac_text.hpp"
#include "host/link_addr.hpp"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>

bool tdAddr::Create(tdAddr &addr, const std::string &text)
{
    addr = tdAddr();
    in_addr ip4;
    in6_addr ip6;
    uint8_t mac[MAC_BYTES];
    if (inet_pton(AF_INET, text.c_str(), &ip4) == 1)
        return CreateIPv4(addr, ip4);
    if (inet_pton(AF_INET6, text.c_str(), &ip6) == 1)
        return CreateIPv6(addr, ip6);
    if (!td_parse_mac(text, mac))
        return false;

    td_link_set_ether(addr.addr.ss, mac);
    return true;
}

bool tdAddr::CreateIPv4(tdAddr &addr, const in_addr &ip, uint16_t port)
{
    addr = tdAddr();
    addr.addr.in.sin_family = AF_INET;
    addr.addr.in.sin_addr = ip;
    addr.addr.in.sin_port = htons(port);
    return true;
}

bool tdAddr::CreateIPv6(tdAddr &addr, const in6_addr &ip, uint16_t port)
{
    addr = tdAddr();
    addr.addr.in6.sin6_family = AF_INET6;
    addr.addr.in6.sin6_addr = ip;
    addr.addr.in6.sin6_port = htons(port);
    return true;
}

bool tdAddr::IsEthernet() const
{
    uint8_t mac[MAC_BYTES];
    return td_link_ether(addr.ss, mac);
}

void tdAddr::MakeString(const tdAddr &addr, std::string &text, tdFlags<MakeFlags> flags)
{
    char buffer[INET6_ADDRSTRLEN + 8] = {};
    text.clear();
    if (addr.IsIPv4()) {
        inet_ntop(AF_INET, &addr.addr.in.sin_addr, buffer, sizeof(buffer));
        text = buffer;
    } else if (addr.IsIPv6()) {
        inet_ntop(AF_INET6, &addr.addr.in6.sin6_addr, buffer, sizeof(buffer));
        text = buffer;
        if (flags.Has(MakeFlags::PORT))
            text = "[" + text + "]";
    } else if (uint8_t mac[MAC_BYTES]; td_link_ether(addr.addr.ss, mac)) {
        snprintf(buffer, sizeof(buffer), "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1],
                 mac[2], mac[3], mac[4], mac[5]);
        text = buffer;
        return;
    } else
        return;

    if (flags.Has(MakeFlags::PORT))
        text += ":" + std::to_string(addr.GetPort());
}

uint16_t tdAddr::GetPort(bool host_order) const
{
    uint16_t port = 0;
    if (IsIPv4())
        port = addr.in.sin_port;
    else if (IsIPv6())
        port = addr.in6.sin6_port;
    return host_order ? ntohs(port) : port;
}

void tdAddr::SetPort(uint16_t port)
{
    if (IsIPv4())
        addr.in.sin_port = htons(port);
    else if (IsIPv6())
        addr.in6.sin6_port = htons(port);
    cache.clear();
}

bool tdAddr::operator==(const tdAddr &other) const
{
    if (GetFamily() != other.GetFamily())
        return false;
    if (IsIPv4())
        return addr.in.sin_addr.s_addr == other.addr.in.sin_addr.s_addr;
    if (IsIPv6())
        return memcmp(&addr.in6.sin6_addr, &other.addr.in6.sin6_addr, sizeof(in6_addr)) == 0;
    uint8_t mac[MAC_BYTES];
    uint8_t other_mac[MAC_BYTES];
    if (td_link_ether(addr.ss, mac))
        return td_link_ether(other.addr.ss, other_mac) && memcmp(mac, other_mac, MAC_BYTES) == 0;
    return GetFamily() == 0;
}
