#include "rules/expression.hpp"

#include "rules/rules_context.hpp"

#include <mutex>

namespace
{
constexpr const char *NO_PARSER = "flow expression parser not created";

tdFlowParser &SharedParser()
{
    if (tfaRulesContext::parser == nullptr)
        throw std::string(NO_PARSER);
    return *tfaRulesContext::parser;
}
} // namespace

tfaExpression::tfaExpression(const std::string &text, Form form) : text(text)
{
    std::lock_guard<std::mutex> guard(tfaRulesContext::parser_lock);
    if (tfaRulesContext::parser == nullptr)
        return;
    if (form == COMPILED_WHEN_OFFERED && CanCompile())
        Compile();
    else
        CheckText();
}

bool tfaExpression::CanCompile()
{
    return td_flow_expression_compile != nullptr && td_flow_expression_evaluate != nullptr;
}

void tfaExpression::Compile()
{
    try {
        compiled = td_flow_expression_compile(SharedParser(), text);
    } catch (const std::string &reason) {
        fault = reason;
    }
}

// Without compiled expressions the text is tried on an empty flow, which every valid text
// evaluates on without a fault.
void tfaExpression::CheckText()
{
    const auto flow = std::make_shared<tdFlow>();
    const tdFlowParams no_params;
    try {
        SharedParser().Parse(flow, no_params, text);
    } catch (const std::string &reason) {
        fault = reason;
    } catch (...) {
    }
}

bool tfaExpression::Matches(const std::shared_ptr<tdFlow> &flow,
                            const tdFlowParams &params) const
{
    if (compiled)
        return td_flow_expression_evaluate(*compiled, *flow, params);
    if (!fault.empty())
        throw fault;
    std::lock_guard<std::mutex> guard(tfaRulesContext::parser_lock);
    return SharedParser().Parse(flow, params, text);
}
