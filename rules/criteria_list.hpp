#pragma once

#include "host/flow.hpp"
#include "host/flow_parser.hpp"
#include "rules/criteria.hpp"
#include "rules/criteria_index.hpp"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

// An action's criteria in their configured order. The list matches when any criteria matches,
// and faults when one faults before any matches; its simple criteria are looked up in an index
// rather than tried one by one, which changes neither answer.
class tfaCriteriaList
{
public:
    static constexpr size_t NONE = tfaCriteriaIndex::NONE;

    // `owner` (the action's name) begins the lines the list writes.
    tfaCriteriaList(const std::string &owner, std::vector<std::unique_ptr<tfaCriteria>> criteria);

    // The position of the first criteria that the event matches, or NONE. The caller holds the
    // flow's lock. Throws the tdException of the first criteria that faults before one matches.
    size_t FirstMatch(const std::shared_ptr<tdFlow> &flow, const tdFlowParams &params) const;

    size_t Size() const { return criteria.size(); }
    const tfaCriteria &At(size_t position) const { return *criteria[position]; }
    // How many criteria the index answers for.
    size_t Indexed() const { return index.Indexed(); }

private:
    std::vector<std::unique_ptr<tfaCriteria>> criteria;
    tfaCriteriaIndex index;
    // The positions the index does not answer for, in order.
    std::vector<size_t> plain;
};
