#pragma once

#include "agent/expression/flow_expression_node.hpp"
#include "host/flow_parser.hpp"

// A compiled flow expression as the agent interface hands it out: the tree of nodes, which holds
// its regular expressions and list files itself, so it outlives the parser and its caches.
// Immutable: any number of threads may evaluate it at once.
class tdFlowExpression
{
public:
    explicit tdFlowExpression(tdFlowExpressionNode root) : root(std::move(root)) {}

    // The caller holds the flow's lock.
    bool Evaluate(const tdFlow &flow, const tdFlowParams &params) const noexcept
    {
        return root.Evaluate(tdFlowExpressionField::Context{flow, params});
    }

private:
    tdFlowExpressionNode root;
};
