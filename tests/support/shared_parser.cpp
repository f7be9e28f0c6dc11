#include "support/shared_parser.hpp"

#include "rules/rules_context.hpp"

#include <stdexcept>

SharedParser::SharedParser() : parser(std::make_unique<tdFlowParser>())
{
    if (tfaRulesContext::parser != nullptr)
        throw std::logic_error("a shared flow expression parser is already set");
    tfaRulesContext::parser = parser.get();
}

SharedParser::~SharedParser()
{
    tfaRulesContext::parser = nullptr;
}
