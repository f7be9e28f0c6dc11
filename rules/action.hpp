#pragma once

#include "host/flow.hpp"
#include "host/flow_parser.hpp"
#include "host/json.hpp"
#include "host/plugin.hpp"
#include "host/time_of_day.hpp"
#include "rules/criteria.hpp"
#include "rules/criteria_list.hpp"
#include "rules/exemption.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

class tfaRulesContext;
class tfaTarget;

// One named rule: criteria that select flows, optional time windows, an interface filter,
// exemptions, and the targets every matching flow is handed to. Immutable after construction and
// used only on the plug-in's worker thread.
class tfaAction
{
public:
    enum Result : int32_t {
        AR_NO_MATCH = 0,
        AR_EXEMPT = 1,
        AR_OUTSIDE_TIME = 2,
        AR_HALT = 3,
        AR_MATCH = 4,
    };

    // Builds an action from its configuration object; `priority` is used when the object has no
    // "priority". Throws tdException (or the criteria's and exemptions' plain strings), releasing
    // everything built so far.
    static std::shared_ptr<tfaAction> Create(const tfaRulesContext *context,
                                             const std::string &name, unsigned priority,
                                             const json &config);

    // Takes over the criteria, windows and exemptions; targets stay owned by the plug-in.
    tfaAction(const tfaRulesContext *context, const std::string &name, unsigned priority,
              const std::string &interface, std::vector<std::unique_ptr<tfaCriteria>> criteria,
              std::vector<std::unique_ptr<tdTimeOfDay>> time_of_day,
              std::unordered_map<std::string, tfaTarget *> targets, const json &tags,
              std::vector<std::unique_ptr<tfaExemption>> exemptions, bool halt_on_match);
    virtual ~tfaAction();

    tfaAction(const tfaAction &) = delete;
    tfaAction &operator=(const tfaAction &) = delete;

    // Runs one queued flow event through the action and returns a Result: time windows first,
    // then the interface filter, the exemptions and the criteria; a match hands the flow to every
    // target (in no defined order). The caller holds the flow's lock. A criteria that faults makes it AR_NO_MATCH: the first fault
    // is logged with the action's name, every one counted. Exemption and target exceptions pass
    // through.
    Result ProcessFlow(tdPluginProcessor::Event event, std::shared_ptr<tdFlow> &flow,
                    tdFlowParams &params);

    // How many flows skipped the action because a criteria faulted.
    uint64_t GetFaults() const { return faults; }

    std::string name;
    uint32_t priority;
    json tags;

private:
    // True when the action has no valid window or the plug-in's current time lies in one.
    bool InsideTime() const;
    // True when the action's windows, interface and exemptions let the flow through and any
    // criteria matches before one faults.
    Result Evaluate(const std::shared_ptr<tdFlow> &flow, const tdFlowParams &params);
    // True when any criteria matches before one faults.
    bool MatchesCriteria(const std::shared_ptr<tdFlow> &flow, const tdFlowParams &params);
    // Counts a criteria fault and gives the no-match it stands for.
    bool Fault(const std::string &text);

    const tfaRulesContext *context;
    std::string interface;
    tfaCriteriaList criteria;
    std::vector<std::unique_ptr<tdTimeOfDay>> time_of_day;
    std::unordered_map<std::string, tfaTarget *> targets;
    std::vector<std::unique_ptr<tfaExemption>> exemptions;
    bool halt_on_match;
    uint64_t faults = 0;
};
