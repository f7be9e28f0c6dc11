#include "agent/expression/flow_expression_operand.hpp"

#include <charconv>

namespace
{
const std::string INTEL_PARAMETER = "intel";
constexpr std::string_view INTEL_PREFIX = "intel.";
constexpr size_t NO_INDEX = static_cast<size_t>(-1);

size_t ReadIndex(std::string_view key)
{
    size_t index = NO_INDEX;
    auto result = std::from_chars(key.data(), key.data() + key.size(), index);
    bool whole = result.ec == std::errc() && result.ptr == key.data() + key.size();
    return whole ? index : NO_INDEX;
}
} // namespace

tdFlowExpressionOperand::tdFlowExpressionOperand(std::string name,
                                                 const tdFlowExpressionField *field,
                                                 std::vector<Segment> path)
    : name(std::move(name)), field(field), path(std::move(path))
{
}

std::optional<tdFlowExpressionOperand> tdFlowExpressionOperand::Find(std::string_view name)
{
    if (const tdFlowExpressionField *field = tdFlowExpressionField::Find(name))
        return tdFlowExpressionOperand(std::string(name), field, {});
    if (name != INTEL_PARAMETER && name.substr(0, INTEL_PREFIX.size()) != INTEL_PREFIX)
        return std::nullopt;

    std::vector<Segment> path;
    for (std::string_view rest = name.substr(INTEL_PARAMETER.size()); !rest.empty();) {
        rest.remove_prefix(1); // the "."
        std::string_view key = rest.substr(0, rest.find('.'));
        if (key.empty())
            return std::nullopt;
        path.push_back({std::string(key), ReadIndex(key)});
        rest.remove_prefix(key.size());
    }
    return tdFlowExpressionOperand(std::string(name), nullptr, std::move(path));
}

tdFlowExpressionValue tdFlowExpressionOperand::ReadIntel(const tdFlowParams &params) const
{
    auto parameter = params.find(INTEL_PARAMETER);
    if (parameter == params.end())
        return tdFlowExpressionValue::Absent();

    const json *node = &parameter->second;
    for (const Segment &segment : path) {
        if (node->is_object()) {
            auto member = node->find(segment.key);
            if (member == node->end())
                return tdFlowExpressionValue::Absent();
            node = &*member;
        } else if (node->is_array() && segment.index < node->size())
            node = &(*node)[segment.index];
        else
            return tdFlowExpressionValue::Absent();
    }
    return tdFlowExpressionValue::FromJson(*node);
}
