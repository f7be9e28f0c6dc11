#include "rules/rules_context.hpp"

#include "host/log.hpp"

tdFlowParser *tfaRulesContext::parser = nullptr;
std::mutex tfaRulesContext::parser_lock;

void tfaRulesContext::Report(const std::string &text) const
{
    td_printf("%s\n", text.c_str());
}
