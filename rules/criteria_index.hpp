#pragma once

#include "host/flow.hpp"
#include "rules/criteria.hpp"
#include "rules/prefix_table.hpp"
#include "rules/regex_set.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

// The simple members of a list of criteria, indexed so that a lookup costs about the same for ten
// as for a hundred thousand of them: application and protocol identifiers, ports and names in
// hash maps, addresses and networks in a prefix table, regular expressions in one set. Every
// lookup answers with the earliest position that matches, so a list keeps its order. Used from
// one thread at a time.
class tfaCriteriaIndex
{
public:
    static constexpr size_t NONE = SIZE_MAX;

    // Indexes what it can of `criteria`, which must outlive the index; see IsIndexed(). `owner`
    // begins the lines the index writes.
    tfaCriteriaIndex(const std::string &owner,
                     const std::vector<std::unique_ptr<tfaCriteria>> &criteria);

    // The earliest indexed position that `flow` matches, or NONE. The caller holds the flow's
    // lock. A regular expression search that cannot decide within its memory bound evaluates
    // its criteria one by one instead, passing on the tdException of one that faults.
    size_t FirstMatch(const std::shared_ptr<tdFlow> &flow, const tdFlowParams &params) const;
    bool IsIndexed(size_t position) const { return indexed[position]; }
    // True for an indexed criteria that a search which cannot decide evaluates after all.
    bool MayEvaluate(size_t position) const { return searched[position]; }
    size_t Indexed() const { return count; }

private:
    using Positions = std::unordered_map<uint32_t, size_t>;
    using Names = std::unordered_map<std::string, size_t>;
    enum Side { LOCAL = 0, OTHER = 1, SIDES = 2 };
    enum Name { SERVER = 0, DNS = 1, NAMES = 2 };

    bool Add(size_t position, const tfaCriteria &criteria);
    bool AddExpression(size_t position, const std::string &text);
    static bool AddNumber(Positions &map, const std::string &literal, uint32_t max,
                          size_t position);
    static void Keep(Positions &map, uint32_t key, size_t position);
    static size_t Lookup(const Positions &map, uint32_t key);
    void CompilePatterns();
    size_t FindPattern(Name name, const std::string &text,
                       const std::shared_ptr<tdFlow> &flow, const tdFlowParams &params) const;

    std::string owner;
    const std::vector<std::unique_ptr<tfaCriteria>> &criteria;
    std::vector<bool> indexed;
    std::vector<bool> searched;
    size_t count = 0;
    size_t any = NONE;
    Positions applications;
    Positions protocols;
    Positions ports[SIDES];
    tfaPrefixTable addresses[SIDES];
    Names names[NAMES];
    std::unique_ptr<tfaRegexSet> patterns[NAMES];
    mutable bool undecided_reported = false;
};
