#pragma once

#include "agent/expression/flow_expression_field.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>
// Used inside the agent library only: hidden, so its calls bind directly, not through the PLT.
#pragma GCC visibility push(hidden)

// The left-hand side of a comparison: a field of the flow record, or a path into the "intel"
// flow parameter ("intel.threat.score"). An intel path's type is known only when it is read:
// a missing parameter or path, or a null, reads as absent.
class tdFlowExpressionOperand
{
public:
    // Empty when `name` is neither a field nor an intel path with non-empty segments.
    static std::optional<tdFlowExpressionOperand> Find(std::string_view name);

    const std::string &GetName() const { return name; }
    bool IsIntel() const { return field == nullptr; }
    // For fields only: the value type, or the element type of a set field.
    tdFlowExpressionValue::Type GetType() const { return field->type; }
    bool IsSet() const { return field->set; }

    tdFlowExpressionValue Read(const tdFlowExpressionField::Context &context) const
    {
        return field ? field->read(context) : ReadIntel(context.params);
    }

private:
    // An object key; for an array the same text read as an index.
    struct Segment {
        std::string key;
        size_t index;
    };

    tdFlowExpressionOperand(std::string name, const tdFlowExpressionField *field,
                            std::vector<Segment> path);
    tdFlowExpressionValue ReadIntel(const tdFlowParams &params) const;

    std::string name;
    const tdFlowExpressionField *field;
    std::vector<Segment> path;
};

#pragma GCC visibility pop
