#pragma once

#include "agent/expression/flow_expression_cache.hpp"
#include "agent/expression/flow_expression_lexer.hpp"
#include "agent/expression/flow_expression_node.hpp"

#include <memory>
#include <string_view>
#include <vector>
// Used inside the agent library only: hidden, so its calls bind directly, not through the PLT.
#pragma GCC visibility push(hidden)

// Compiles the text of a flow expression into its tree, checking every field name, the type of
// every value against its field and every regular expression. Faults are thrown as plain strings
// "column N: <fault>".
class tdFlowExpressionCompiler
{
public:
    using RegexCache = tdFlowExpressionCache<std::shared_ptr<const re2::RE2>>;

    // Regular expressions are taken from, and added to, `regexes`.
    static tdFlowExpressionNode Compile(std::string_view expression, RegexCache &regexes);

private:
    using Literal = tdFlowExpressionValue::Literal;
    using Token = tdFlowExpressionLexer::Token;

    tdFlowExpressionCompiler(std::string_view expression, RegexCache &regexes);

    tdFlowExpressionNode ParseAny();
    tdFlowExpressionNode ParseAll();
    tdFlowExpressionNode ParseUnary();
    tdFlowExpressionNode ParsePrimary();
    tdFlowExpressionNode ParseGroup();
    tdFlowExpressionNode ParseComparison(tdFlowExpressionOperand operand);
    tdFlowExpressionNode ParseMembership(tdFlowExpressionOperand operand, bool negated);
    tdFlowExpressionNode ParseFileList(tdFlowExpressionOperand operand, bool negated);
    tdFlowExpressionNode ParseLeadingValue();
    tdFlowExpressionNode EitherEndpoint(const Token &value);
    tdFlowExpressionNode ParseOrder(tdFlowExpressionOperand operand, const Token &op);
    tdFlowExpressionNode ParseMatch(tdFlowExpressionOperand operand, const Token &op);
    tdFlowExpressionOperand ParseOperand();
    Literal ParseValue(const tdFlowExpressionOperand &operand);
    Literal LiteralFor(const tdFlowExpressionOperand &operand, const Token &value) const;
    std::vector<Literal> ParseList(const tdFlowExpressionOperand &operand);
    void RequireType(const tdFlowExpressionOperand &operand, tdFlowExpressionValue::Type type,
                     const Token &op) const;
    [[noreturn]] void Expected(const char *what, const Token &found) const;

    tdFlowExpressionLexer lexer;
    RegexCache &regexes;
    unsigned depth = 0;
};

#pragma GCC visibility pop
