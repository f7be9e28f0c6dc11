#include "host/flow_parser.hpp"

#include "agent/expression/flow_expression.hpp"
#include "agent/expression/flow_expression_compiler.hpp"
#include "host/flow.hpp"

#include <mutex>
#include <stdexcept>

namespace
{
using Expression = std::shared_ptr<const tdFlowExpression>;

// A compiled expression, or why it could not be compiled.
struct Compiled {
    Expression expression;
    std::string fault;
};
} // namespace

struct tdFlowParser::Impl {
    explicit Impl(size_t cache_size) : expressions(cache_size), regexes(cache_size) {}

    const Compiled &Find(const std::string &expression)
    {
        if (const Compiled *cached = expressions.Find(expression))
            return *cached;
        Compiled compiled;
        try {
            compiled.expression = std::make_shared<const tdFlowExpression>(
                tdFlowExpressionCompiler::Compile(expression, regexes));
        } catch (std::string &fault) {
            compiled.fault = std::move(fault);
        }
        return expressions.Insert(expression, std::move(compiled));
    }

    tdFlowExpressionCache<Compiled> expressions;
    tdFlowExpressionCompiler::RegexCache regexes;
};

tdFlowParser::tdFlowParser(size_t cache_size) : impl(new Impl(cache_size)) {}
tdFlowParser::~tdFlowParser() = default;

bool tdFlowParser::Parse(const std::shared_ptr<tdFlow> &flow, const tdFlowParams &params,
                         const std::string &expression)
{
    const Compiled &compiled = impl->Find(expression);
    if (!compiled.expression)
        throw compiled.fault;
    if (!flow)
        throw std::invalid_argument("tdFlowParser: no flow record to evaluate");

    std::lock_guard<std::recursive_mutex> guard(flow->lock);
    return compiled.expression->Evaluate(*flow, params);
}

void tdFlowParser::ClearCache()
{
    impl->expressions.Clear();
    impl->regexes.Clear();
}

size_t tdFlowParser::CachedExpressions() const
{
    return impl->expressions.Size();
}

size_t tdFlowParser::CachedRegexes() const
{
    return impl->regexes.Size();
}

std::shared_ptr<const tdFlowExpression> td_flow_expression_compile(tdFlowParser &parser,
                                                                   const std::string &expression)
{
    const Compiled &compiled = parser.impl->Find(expression);
    if (!compiled.expression)
        throw compiled.fault;
    return compiled.expression;
}

bool td_flow_expression_evaluate(const tdFlowExpression &expression, const tdFlow &flow,
                                 const tdFlowParams &params)
{
    return expression.Evaluate(flow, params);
}
