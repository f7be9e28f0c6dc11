#pragma once

#include "agent/expression/flow_expression_node.hpp"
#include "host/flow_parser.hpp"

// The interface names this class, so it keeps the default visibility its first declaration gave
// it, while its nodes are hidden; GCC's warning about that does not apply: only the agent
// library looks inside, the plug-in holds pointers.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wattributes"

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

#pragma GCC diagnostic pop
