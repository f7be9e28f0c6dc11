#pragma once

#include "agent/expression/flow_expression_operand.hpp"

#include <memory>
#include <optional>
#include <vector>

namespace re2
{
class RE2;
}

// Used inside the agent library only: hidden, so its calls bind directly, not through the PLT.
#pragma GCC visibility push(hidden)

class tdFlowExpressionList;

// One node of a compiled flow expression: a logical combination of nodes, or a test of one
// operand. A negated test is true exactly when its positive form is false, so "!=", "!~" and
// "not in" are true for absent values.
class tdFlowExpressionNode
{
public:
    using Literal = tdFlowExpressionValue::Literal;

    static tdFlowExpressionNode All(std::vector<tdFlowExpressionNode> children);
    static tdFlowExpressionNode Any(std::vector<tdFlowExpressionNode> children);
    static tdFlowExpressionNode Not(tdFlowExpressionNode child);
    // The operand (or one of its elements) equals, or lies in, one of `literals`.
    static tdFlowExpressionNode Equals(tdFlowExpressionOperand operand,
                                       std::vector<Literal> literals, bool negated);
    static tdFlowExpressionNode Compare(tdFlowExpressionOperand operand,
                                        tdFlowExpressionValue::Order order,
                                        tdFlowExpressionValue::Number number);
    static tdFlowExpressionNode Matches(tdFlowExpressionOperand operand,
                                        std::shared_ptr<const re2::RE2> regex, bool negated);
    // The operand (or one of its elements) is in `list`.
    static tdFlowExpressionNode InList(tdFlowExpressionOperand operand,
                                       std::shared_ptr<const tdFlowExpressionList> list,
                                       bool negated);
    // The operand is present and not false, zero or empty.
    static tdFlowExpressionNode IsTrue(tdFlowExpressionOperand operand);

    bool Evaluate(const tdFlowExpressionField::Context &context) const;

private:
    enum Kind : uint8_t { N_ALL, N_ANY, N_NOT, N_EQUALS, N_COMPARE, N_MATCHES, N_IN_LIST, N_TRUE };

    tdFlowExpressionNode(Kind kind, std::optional<tdFlowExpressionOperand> operand, bool negated);
    bool Test(const tdFlowExpressionValue &value) const;

    Kind kind;
    bool negated;
    tdFlowExpressionValue::Order order = tdFlowExpressionValue::O_LESS;
    tdFlowExpressionValue::Number bound;
    std::optional<tdFlowExpressionOperand> operand;
    std::vector<tdFlowExpressionNode> children;
    std::vector<Literal> literals;
    std::shared_ptr<const re2::RE2> regex;
    std::shared_ptr<const tdFlowExpressionList> list;
};

#pragma GCC visibility pop
