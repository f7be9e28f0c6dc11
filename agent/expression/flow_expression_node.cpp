#include "agent/expression/flow_expression_node.hpp"

#include "agent/expression/flow_expression_list.hpp"

#include <re2/re2.h>

using Node = tdFlowExpressionNode;

Node::tdFlowExpressionNode(Kind kind, std::optional<tdFlowExpressionOperand> operand, bool negated)
    : kind(kind), negated(negated), operand(std::move(operand))
{
}

Node Node::All(std::vector<Node> children)
{
    Node node(N_ALL, std::nullopt, false);
    node.children = std::move(children);
    return node;
}

Node Node::Any(std::vector<Node> children)
{
    Node node(N_ANY, std::nullopt, false);
    node.children = std::move(children);
    return node;
}

Node Node::Not(Node child)
{
    Node node(N_NOT, std::nullopt, false);
    node.children.push_back(std::move(child));
    return node;
}

Node Node::Equals(tdFlowExpressionOperand operand, std::vector<Literal> literals, bool negated)
{
    Node node(N_EQUALS, std::move(operand), negated);
    node.literals = std::move(literals);
    return node;
}

Node Node::Compare(tdFlowExpressionOperand operand, tdFlowExpressionValue::Order order,
                   tdFlowExpressionValue::Number number)
{
    Node node(N_COMPARE, std::move(operand), false);
    node.order = order;
    node.bound = number;
    return node;
}

Node Node::Matches(tdFlowExpressionOperand operand, std::shared_ptr<const re2::RE2> regex,
                   bool negated)
{
    Node node(N_MATCHES, std::move(operand), negated);
    node.regex = std::move(regex);
    return node;
}

Node Node::InList(tdFlowExpressionOperand operand, std::shared_ptr<const tdFlowExpressionList> list,
                  bool negated)
{
    Node node(N_IN_LIST, std::move(operand), negated);
    node.list = std::move(list);
    return node;
}

Node Node::IsTrue(tdFlowExpressionOperand operand)
{
    return Node(N_TRUE, std::move(operand), false);
}

bool Node::Evaluate(const tdFlowExpressionField::Context &context) const
{
    switch (kind) {
    case N_ALL:
        for (const Node &child : children)
            if (!child.Evaluate(context))
                return false;
        return true;
    case N_ANY:
        for (const Node &child : children)
            if (child.Evaluate(context))
                return true;
        return false;
    case N_NOT:
        return !children.front().Evaluate(context);
    default:
        return Test(operand->Read(context)) != negated;
    }
}

bool Node::Test(const tdFlowExpressionValue &value) const
{
    switch (kind) {
    case N_EQUALS:
        return value.EqualsAny(literals);
    case N_COMPARE:
        return value.Compare(order, bound);
    case N_MATCHES:
        return value.Matches(*regex);
    case N_IN_LIST:
        return value.InList(*list);
    case N_TRUE:
        return value.IsTrue();
    default:
        return false;
    }
}
