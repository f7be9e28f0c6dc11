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
    // FirstMatch's answer when a criteria that did not compile comes before any match.
    static constexpr size_t FAULTED = NONE - 1;

    // `owner` (the action's name) begins the lines the list writes.
    tfaCriteriaList(const std::string &owner, std::vector<std::unique_ptr<tfaCriteria>> criteria);

    // The position of the first criteria that the event matches, or NONE. The caller holds the
    // flow's lock. A criteria that faults before one matches ends the search: FAULTED, without an
    // exception, for one that did not compile (see CompileFault()), else its tdException.
    size_t FirstMatch(const std::shared_ptr<tdFlow> &flow, const tdFlowParams &params) const;
    // "criteria parse error: \"<expression>\": <reason>" for the first criteria that did not
    // compile, or empty.
    const std::string &CompileFault() const { return compile_fault; }

    size_t Size() const { return criteria.size(); }
    const tfaCriteria &At(size_t position) const { return *criteria[position]; }
    // How many criteria the index answers for.
    size_t Indexed() const { return index.Indexed(); }

private:
    std::vector<std::unique_ptr<tfaCriteria>> criteria;
    tfaCriteriaIndex index;
    // The positions before the first that did not compile that the index does not answer for,
    // in order.
    std::vector<size_t> plain;
    size_t first_fault = NONE;
    std::string compile_fault;
};
