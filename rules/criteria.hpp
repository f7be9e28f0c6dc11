#pragma once

#include "host/applications.hpp"
#include "host/flow.hpp"
#include "host/flow_parser.hpp"
#include "rules/expression.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// One compiled criteria string. The prefixes "ai", "ac", "pi" and "pc" compare the flow's
// detected application or protocol with identifiers resolved once, at construction; "*" matches
// every flow; any other text is a flow expression, compiled once when the agent library can.
// Immutable after construction.
class tfaCriteria
{
public:
    enum Type : uint32_t {
        CT_AI = 0,
        CT_AC = 1,
        CT_PI = 2,
        CT_PC = 3,
        CT_EXPRESSION = 4,
        CT_ANY = 5,
    };

    // Indexed by Type; the first null entry ends the list.
    static const char *type_prefixes[7];

    // Throws a plain std::string for bad text: "invalid criteria (zero-length)" for an empty
    // text, the whole text when a prefix has nothing (or only "!") after it. Throws tdException
    // when there is no host instance. Nothing is leaked.
    static std::unique_ptr<tfaCriteria> Create(const std::string &text);
    explicit tfaCriteria(const std::string &text);
    virtual ~tfaCriteria() = default;

    // Evaluates against one flow event; the caller holds the flow's lock. A flow expression the
    // parser rejects throws tdException "criteria parse error: \"<expression>\": <reason>".
    bool operator==(std::pair<const std::shared_ptr<tdFlow> &, const tdFlowParams &> flow) const;

    // True for a non-empty text of decimal digits only.
    static bool IsNumeric(const std::string &text);

    Type GetType() const { return type; }
    bool IsNegated() const { return negated; }
    // Resolved identifiers in resolution order; protocol identifiers are tdProto::Id values.
    const std::vector<uint32_t> &GetIds() const { return ids; }
    const std::string &GetExpression() const { return expr; }
    // Why an "ai" or "pi" name resolved to nothing ("Invalid application: <value>",
    // "Invalid protocol ID: <number>", "Invalid protocol: <name>"), or empty. Such a criteria
    // still matches as written: nothing, or, negated, every flow.
    const std::string &GetFault() const { return fault; }
    // The parser's fault for a flow expression that does not compile, or empty.
    const std::string &CompileFault() const;
    // See tfaExpression::ForgetCompiled.
    void ForgetCompiled()
    {
        if (expression)
            expression->ForgetCompiled();
    }
    // True for a flow expression that compiled.
    bool IsValidExpression() const { return expression && expression->Fault().empty(); }

private:
    static Type FindType(const std::string &prefix);
    void ResolveApplication(const std::string &value);
    void ResolveProtocol(const std::string &value);
    bool LookupApplication(const std::string &value, tdApplication &app) const;
    void PushProtocol(int32_t id, const char *name);
    bool Contains(uint32_t key) const;
    bool ParseExpression(const std::shared_ptr<tdFlow> &flow, const tdFlowParams &params) const;

    tdApplications &apps;
    std::string expr;
    Type type = CT_EXPRESSION;
    bool negated = false;
    std::vector<uint32_t> ids;
    std::string fault;
    std::unique_ptr<tfaExpression> expression;
};
