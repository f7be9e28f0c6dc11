#pragma once

#include "agent/expression/flow_expression_value.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>
// Used inside the agent library only: hidden, so its calls bind directly, not through the PLT.
#pragma GCC visibility push(hidden)

// The values of a list file, one a line, for "<field> in file('path')": addresses or networks,
// MAC addresses or prefixes, texts (byte for byte) or numbers. The file is read once, when the
// expression is compiled; looking a value up never touches the disk and costs the same whatever
// the list's length: one hash probe for a text or number, and for an address one probe per prefix
// length the file uses (at most 33 for IPv4, 129 for IPv6). Immutable once loaded.
class tdFlowExpressionList
{
public:
    using Number = tdFlowExpressionValue::Number;
    using Prefix = tdFlowExpressionValue::Prefix;

    // Largest list file read, as for every other file the agent reads.
    static constexpr size_t FILE_LIMIT = 64 << 20;

    // Reads the file at `path` as a list of values of `type` (T_ADDRESS, T_MAC, T_STRING or
    // T_NUMBER). Throws a plain string "cannot read <path>: <reason>" or "<path>:<line>: <fault>:
    // <value>".
    static std::shared_ptr<const tdFlowExpressionList> Load(const std::string &path,
                                                           tdFlowExpressionValue::Type type);

    tdFlowExpressionList(const tdFlowExpressionList &) = delete;
    tdFlowExpressionList &operator=(const tdFlowExpressionList &) = delete;

    bool ContainsNumber(const Number &number) const;
    bool ContainsText(std::string_view text) const;
    // True when a network of the list holds `address` (an address of full length).
    bool ContainsAddress(const Prefix &address) const;

private:
    // An address masked to a prefix length, as two words of its bytes in memory order.
    struct Network {
        uint64_t high = 0, low = 0;
        uint8_t family = 0, length = 0;
        bool operator==(const Network &other) const;
    };
    struct NetworkHash {
        size_t operator()(const Network &network) const;
    };
    // A prefix length some network of the list has, with its mask.
    struct Length {
        uint8_t length;
        uint64_t high, low;
    };

    tdFlowExpressionList() = default;
    // Null, or what is wrong with `value`.
    const char *Add(std::string_view value, tdFlowExpressionValue::Type type);
    void AddNetwork(const Prefix &prefix);
    static Network Masked(const Prefix &address, const Length &mask);

    // Texts point into `content`, the file as read.
    std::string content;
    std::unordered_set<std::string_view> texts;
    std::unordered_set<int64_t> integers;
    std::unordered_set<double> reals;
    std::unordered_set<Network, NetworkHash> networks;
    std::vector<Length> lengths[Prefix::F_MAC + 1]; // by family
};

#pragma GCC visibility pop
