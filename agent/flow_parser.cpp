#include "host/flow_parser.hpp"

#include "host/flow.hpp"
#include "agent/expression/flow_expression_compiler.hpp"

#include <mutex>
#include <optional>
#include <stdexcept>

namespace
{
// Room for the longest rendered value (a SHA-1 text), so rendering does not allocate.
constexpr size_t SCRATCH_CAPACITY = 128;

// A compiled expression, or why it could not be compiled.
struct Compiled {
    std::optional<tdFlowExpressionNode> root;
    std::string fault;
};
} // namespace

struct tdFlowParser::Impl {
    explicit Impl(size_t cache_size) : expressions(cache_size), regexes(cache_size)
    {
        scratch.reserve(SCRATCH_CAPACITY);
    }

    const Compiled &Find(const std::string &expression)
    {
        if (const Compiled *cached = expressions.Find(expression))
            return *cached;
        Compiled compiled;
        try {
            compiled.root = tdFlowExpressionCompiler::Compile(expression, regexes);
        } catch (std::string &fault) {
            compiled.fault = std::move(fault);
        }
        return expressions.Insert(expression, std::move(compiled));
    }

    tdFlowExpressionCache<Compiled> expressions;
    tdFlowExpressionCompiler::RegexCache regexes;
    std::string scratch;
};

tdFlowParser::tdFlowParser(size_t cache_size) : impl(new Impl(cache_size))
{
}
tdFlowParser::~tdFlowParser() = default;

bool tdFlowParser::Parse(const std::shared_ptr<tdFlow> &flow, const tdFlowParams &params,
                         const std::string &expression)
{
    const Compiled &compiled = impl->Find(expression);
    if (!compiled.root)
        throw compiled.fault;
    if (!flow)
        throw std::invalid_argument("tdFlowParser: no flow record to evaluate");

    std::lock_guard<std::recursive_mutex> guard(flow->lock);
    tdFlowExpressionField::Context context{*flow, params, impl->scratch};
    return compiled.root->Evaluate(context);
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
