#pragma once

// An in-memory stand-in for the kernel's nftables behind the nftset target's seam, for unit
// tests (Linux only, like the target). It answers as the kernel does for what the target asks:
// ENOENT for a missing table or set, EINVAL for a key of the wrong length or a timeout on a set
// without the timeout flag, "already present" without touching the timeout. Its clock is the
// test's to move; elements whose timeout has run out are gone. Faults are injected per request
// kind.

#include "targets/nft/kernel.hpp"

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

class tfaNftFake : public tfaNftKernel
{
public:
    enum Request {
        ADD_TABLE,
        GET_TABLE,
        DEL_TABLE,
        ADD_SET,
        GET_SET,
        ADD_ELEMENT,
        DEL_ELEMENT,
        FLUSH_SET,
        LIST_ELEMENTS,
        LIST_SETS,
        REQUEST_KINDS,
    };

    int AddTable(uint8_t family, const std::string &table, bool *created) override;
    int GetTable(uint8_t family, const std::string &table) override;
    int DelTable(uint8_t family, const std::string &table) override;
    int AddSet(uint8_t family, const std::string &table, const std::string &set,
               const nft_set_spec &spec, bool *created) override;
    int GetSet(uint8_t family, const std::string &table, const std::string &set,
               nft_set_spec *spec) override;
    int AddElement(uint8_t family, const std::string &table, const std::string &set,
                   const nft_addr &addr, uint64_t timeout_ms, bool *added) override;
    int DelElement(uint8_t family, const std::string &table, const std::string &set,
                   const nft_addr &addr) override;
    int FlushSet(uint8_t family, const std::string &table, const std::string &set) override;
    int ListElements(uint8_t family, const std::string &table, const std::string &set,
                     std::vector<nft_element> *elements) override;
    int ListSets(std::vector<nft_set_listing> *sets) override;

    // Every request of `kind` fails with `error` (0: none) until changed.
    void Fail(Request kind, int error) { faults[kind] = error; }
    // Every request of every kind fails with `error` (0: none), as without CAP_NET_ADMIN.
    void FailAll(int error);
    uint64_t Requests(Request kind) const { return counts[kind]; }

    // Milliseconds of the fake's clock.
    void Advance(uint64_t ms) { now_ms += ms; }

    // The addresses of a set, sorted, each with "/" and its timeout in seconds when it has one
    // ("192.0.2.1/60"); empty when the set does not exist.
    std::vector<std::string> Addresses(uint8_t family, const std::string &table,
                                       const std::string &set);
    bool HasSet(uint8_t family, const std::string &table, const std::string &set) const;

private:
    struct Element {
        uint64_t timeout_ms;
        uint64_t added_ms;
    };
    struct Set {
        nft_set_spec spec;
        std::map<nft_addr, Element> elements;
    };
    struct Table {
        std::map<std::string, Set> sets;
    };
    using TableKey = std::tuple<uint8_t, std::string>;

    // Counts the request and answers its injected fault; true when it must fail.
    bool Faulted(Request kind);
    Set *FindSet(uint8_t family, const std::string &table, const std::string &set);
    void Expire(Set &set);
    // The elements of `set` that have not expired.
    std::vector<nft_element> Listed(Set &set);

    std::map<TableKey, Table> tables;
    uint64_t now_ms = 1000000;
    int faults[REQUEST_KINDS] = {};
    uint64_t counts[REQUEST_KINDS] = {};
};
