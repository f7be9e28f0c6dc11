#include "rules/compile_fault.hpp"

#include "host/flow.hpp"
#include "host/flow_parser.hpp"
#include "rules/rules_context.hpp"

std::string tfaCompileFault(const std::string &expression)
{
    std::lock_guard<std::mutex> guard(tfaRulesContext::parser_lock);
    if (tfaRulesContext::parser == nullptr)
        return std::string();
    const auto flow = std::make_shared<tdFlow>();
    const tdFlowParams no_params;
    try {
        tfaRulesContext::parser->Parse(flow, no_params, expression);
    } catch (const std::string &fault) {
        return fault;
    } catch (...) {
    }
    return std::string();
}
