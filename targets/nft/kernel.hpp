#pragma once

// The one seam between the nftset target and the kernel's nftables. Linux only.
//
// Every routine returns 0, or -1 with errno set (the kernel's answer, or EINVAL for an argument
// the routine refuses itself); none throws, and out-values are written only on success and only
// through non-null pointers. The real implementation (targets/nft/netlink.hpp) speaks netlink to
// the kernel of the network namespace the calling thread was in when it first sent a request;
// unit tests use an in-memory fake of the same interface (tests/support/nft_fake.hpp).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Address families of nftables tables; the values are the kernel's NFPROTO_* numbers.
enum tfaNftFamily : uint8_t {
    NFT_FAMILY_INET = 1,
    NFT_FAMILY_IP = 2,
    NFT_FAMILY_IP6 = 10,
};

// "inet", "ip", "ip6"; "family N" for any other value.
std::string nft_family_name(uint8_t family);
// False (and `family` untouched) for any text but "inet", "ip" and "ip6".
bool nft_family_parse(const std::string &text, uint8_t *family);

// Set key types the target uses: nft's datatype numbers, as the nft program stores them, so that
// `nft list set` shows "type ipv4_addr".
constexpr uint32_t NFT_KEY_IPV4_ADDR = 7;
constexpr uint32_t NFT_KEY_IPV6_ADDR = 8;
// "ipv4_addr", "ipv6_addr", or "datatype N" for any other key type.
std::string nft_key_type_name(uint32_t key_type);

// The kernel's NFT_SET_* flag bits that matter here.
constexpr uint32_t NFT_SET_FLAG_CONSTANT = 0x2;
constexpr uint32_t NFT_SET_FLAG_INTERVAL = 0x4;
constexpr uint32_t NFT_SET_FLAG_TIMEOUT = 0x10;

// One host address, in network byte order: 4 bytes for IPv4, 16 for IPv6.
struct nft_addr {
    bool ipv6 = false;
    uint8_t bytes[16] = {};

    size_t Length() const { return ipv6 ? 16 : 4; }
    bool operator==(const nft_addr &other) const;
    bool operator<(const nft_addr &other) const;
};

// Parses a numeric IPv4 or IPv6 address (no prefix length, no port); false for anything else.
bool nft_addr_parse(const std::string &text, nft_addr *addr);
// The address in the usual text form ("192.0.2.1", "2001:db8::1").
std::string nft_addr_string(const nft_addr &addr);

// What a set is: the key's datatype and length in bytes, and its flags.
struct nft_set_spec {
    uint32_t key_type = 0;
    uint32_t key_len = 0;
    uint32_t flags = 0;
};

// The spec of an address set of the target: key type and length of the family, with the timeout
// flag when `timeout` is set.
nft_set_spec nft_address_set_spec(bool ipv6, bool timeout);

// One element of a set as the kernel reports it. `key` holds the raw key bytes; for address sets
// `addr` is filled too. Times are in milliseconds; 0 means none.
struct nft_element {
    std::vector<uint8_t> key;
    nft_addr addr;
    bool is_addr = false;
    uint64_t timeout_ms = 0;
    uint64_t expires_ms = 0;
};

// One set of a table, with its elements.
struct nft_set_listing {
    uint8_t family = 0;
    std::string table;
    std::string set;
    nft_set_spec spec;
    std::vector<nft_element> elements;
};

class tfaNftKernel
{
public:
    virtual ~tfaNftKernel() = default;

    // Creates the table; `created` tells whether it was missing before (an existing table is not
    // an error).
    virtual int AddTable(uint8_t family, const std::string &table, bool *created) = 0;
    // 0 when the table exists; -1 with ENOENT when it does not.
    virtual int GetTable(uint8_t family, const std::string &table) = 0;
    // Deletes the table with everything in it.
    virtual int DelTable(uint8_t family, const std::string &table) = 0;

    // Creates the set; `created` tells whether it was missing before. An existing set is not an
    // error, whatever its spec: read it with GetSet. ENOENT when the table does not exist.
    virtual int AddSet(uint8_t family, const std::string &table, const std::string &set,
                       const nft_set_spec &spec, bool *created) = 0;
    // The spec of an existing set; ENOENT when the table or the set does not exist.
    virtual int GetSet(uint8_t family, const std::string &table, const std::string &set,
                       nft_set_spec *spec) = 0;

    // Adds one address with a timeout (0: the set's default, none unless the set has one).
    // `added` is false when the address was already present (its timeout is then left alone).
    // ENOENT for a missing table or set, EINVAL for an address or timeout the set cannot hold.
    virtual int AddElement(uint8_t family, const std::string &table, const std::string &set,
                           const nft_addr &addr, uint64_t timeout_ms, bool *added) = 0;
    // Removes one address; ENOENT when it was not present.
    virtual int DelElement(uint8_t family, const std::string &table, const std::string &set,
                           const nft_addr &addr) = 0;
    // Removes every element of the set.
    virtual int FlushSet(uint8_t family, const std::string &table, const std::string &set) = 0;
    // Every element of the set that has not expired.
    virtual int ListElements(uint8_t family, const std::string &table, const std::string &set,
                             std::vector<nft_element> *elements) = 0;
    // Every set of every table of every family, with its elements, ordered by family, table
    // and set name.
    virtual int ListSets(std::vector<nft_set_listing> *sets) = 0;
};
