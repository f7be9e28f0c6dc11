#include "rules/criteria_list.hpp"

#include <utility>

tfaCriteriaList::tfaCriteriaList(const std::string &owner,
                                 std::vector<std::unique_ptr<tfaCriteria>> criteria)
    : criteria(std::move(criteria)), index(owner, this->criteria)
{
    // What the index alone answers for needs no compiled form of its own.
    for (size_t position = 0; position < this->criteria.size(); position++) {
        if (index.IsIndexed(position) && !index.MayEvaluate(position))
            this->criteria[position]->ForgetCompiled();
    }
    for (size_t position = 0; position < this->criteria.size(); position++) {
        const std::string &fault = this->criteria[position]->CompileFault();
        if (!fault.empty()) {
            first_fault = position;
            compile_fault = "criteria parse error: \"" + this->criteria[position]->GetExpression() +
                            "\": " + fault;
            break;
        }
        if (!index.IsIndexed(position))
            plain.push_back(position);
    }
}

// Only criteria before the index's earliest match can change the answer: one of them matching
// comes first, one faulting ends the search.
size_t tfaCriteriaList::FirstMatch(const std::shared_ptr<tdFlow> &flow,
                                   const tdFlowParams &params) const
{
    size_t indexed = index.FirstMatch(flow, params);
    std::pair<const std::shared_ptr<tdFlow> &, const tdFlowParams &> event(flow, params);
    for (size_t position : plain) {
        if (position >= indexed)
            break;
        if (*criteria[position] == event)
            return position;
    }
    return first_fault < indexed ? FAULTED : indexed;
}
