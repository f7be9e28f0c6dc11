// PLACEHOLDER: replaced by the flow expression language implementation.
#include "host/flow_parser.hpp"

struct tdFlowParser::Impl {
};

tdFlowParser::tdFlowParser() : impl(new Impl) {}
tdFlowParser::~tdFlowParser() = default;

bool tdFlowParser::Parse(const std::shared_ptr<tdFlow> &, const tdFlowParams &, const std::string &)
{
    throw std::string("flow expressions not available yet");
}

void tdFlowParser::ClearCache() {}
