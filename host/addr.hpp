#pragma once

#include <cstdint>
#include <string>

#include <netinet/in.h>
#include <sys/socket.h>

#include "host/flags.hpp"

// An IPv4, IPv6 or Ethernet address held as a socket address, with a cached text form.
// Address family 0 means "not set". An Ethernet address is the system's link-layer socket
// address, kept in `ss` (host/link_addr.hpp reads and writes it).
class tdAddr
{
public:
    enum class MakeFlags : uint8_t {
        NONE = 0x00,
        // Append the port: "192.0.2.1:53", "[2001:db8::1]:53". Ethernet addresses have none.
        PORT = 0x02,
    };

    // Parses an IPv4 or IPv6 address or a six-byte Ethernet address ("00:11:22:aa:bb:cc" or with
    // "-"). Returns false and leaves the family 0 when the text is none of these.
    static bool Create(tdAddr &addr, const std::string &text);
    static bool CreateIPv4(tdAddr &addr, const in_addr &ip, uint16_t port = 0);
    static bool CreateIPv6(tdAddr &addr, const in6_addr &ip, uint16_t port = 0);

    // Renders `addr` into `text`; an unset address renders as "".
    static void MakeString(const tdAddr &addr, std::string &text, tdFlags<MakeFlags> flags);

    // Text form for `flags`, rendered once and cached until other flags are asked for. The
    // reference stays valid while the address lives and is not re-rendered with other flags.
    const std::string &GetString(tdFlags<MakeFlags> flags = MakeFlags::NONE) const;

    // Port in host byte order when `host_order` is true, else as stored (network order).
    uint16_t GetPort(bool host_order = true) const;
    void SetPort(uint16_t port);

    sa_family_t GetFamily() const { return addr.ss.ss_family; }
    bool IsSet() const { return GetFamily() != 0; }
    bool IsIPv4() const { return GetFamily() == AF_INET; }
    bool IsIPv6() const { return GetFamily() == AF_INET6; }
    bool IsEthernet() const;

    // Compares family and address; ports are not compared.
    bool operator==(const tdAddr &other) const;
    bool operator!=(const tdAddr &other) const { return !(*this == other); }

    union {
        sockaddr_storage ss;
        sockaddr_in in;
        sockaddr_in6 in6;
    } addr{};

private:
    mutable uint8_t cache_flags = 0;
    mutable std::string cache;
};
