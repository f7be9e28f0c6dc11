#include "rules/rules_context.hpp"

tdFlowParser *tfaRulesContext::parser = nullptr;
