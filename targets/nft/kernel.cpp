#include "targets/nft/kernel.hpp"

#include <arpa/inet.h>
#include <cstring>
#include <sys/socket.h>

std::string nft_family_name(uint8_t family)
{
    switch (family) {
    case NFT_FAMILY_INET:
        return "inet";
    case NFT_FAMILY_IP:
        return "ip";
    case NFT_FAMILY_IP6:
        return "ip6";
    }
    return "family " + std::to_string(family);
}

bool nft_family_parse(const std::string &text, uint8_t *family)
{
    for (uint8_t known : {NFT_FAMILY_INET, NFT_FAMILY_IP, NFT_FAMILY_IP6})
        if (text == nft_family_name(known)) {
            *family = known;
            return true;
        }
    return false;
}

std::string nft_key_type_name(uint32_t key_type)
{
    switch (key_type) {
    case NFT_KEY_IPV4_ADDR:
        return "ipv4_addr";
    case NFT_KEY_IPV6_ADDR:
        return "ipv6_addr";
    }
    return "datatype " + std::to_string(key_type);
}

bool nft_addr::operator==(const nft_addr &other) const
{
    return ipv6 == other.ipv6 && memcmp(bytes, other.bytes, Length()) == 0;
}

bool nft_addr::operator<(const nft_addr &other) const
{
    if (ipv6 != other.ipv6)
        return !ipv6;
    return memcmp(bytes, other.bytes, Length()) < 0;
}

bool nft_addr_parse(const std::string &text, nft_addr *addr)
{
    nft_addr parsed;
    if (text.find('\0') != std::string::npos)
        return false;
    if (inet_pton(AF_INET, text.c_str(), parsed.bytes) != 1) {
        parsed.ipv6 = true;
        if (inet_pton(AF_INET6, text.c_str(), parsed.bytes) != 1)
            return false;
    }
    *addr = parsed;
    return true;
}

std::string nft_addr_string(const nft_addr &addr)
{
    char text[INET6_ADDRSTRLEN];
    if (inet_ntop(addr.ipv6 ? AF_INET6 : AF_INET, addr.bytes, text, sizeof(text)) == nullptr)
        return std::string();
    return text;
}

nft_set_spec nft_address_set_spec(bool ipv6, bool timeout)
{
    nft_set_spec spec;
    spec.key_type = ipv6 ? NFT_KEY_IPV6_ADDR : NFT_KEY_IPV4_ADDR;
    spec.key_len = ipv6 ? 16 : 4;
    spec.flags = timeout ? NFT_SET_FLAG_TIMEOUT : 0;
    return spec;
}
