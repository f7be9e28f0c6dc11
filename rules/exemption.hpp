#pragma once

#include "host/addr.hpp"
#include "host/flow.hpp"
#include "rules/expression.hpp"

#include <cstdint>
#include <memory>
#include <string>

// One exemption: a MAC address, an IP address or a flow expression naming flows to leave alone.
// Immutable after construction.
class tfaExemption
{
public:
    enum Type : int32_t {
        ET_MAC = 0,
        ET_ADDR = 1,
        ET_EXPRESSION = 2,
        ET_NONE = 3,
    };

    // Throws a plain std::string "Exemption criteria can not be zero-length" for an empty text.
    // A text that is not an address becomes a flow expression, checked only when evaluated.
    static std::unique_ptr<tfaExemption> Create(const std::string &text);
    explicit tfaExemption(const std::string &text);

    // True when the flow is exempt: an address matches either endpoint (ports are ignored), or
    // the flow satisfies the expression, evaluated without the event's flow parameters. The
    // caller holds the flow's lock. An
    // expression the parser rejects with a plain string exempts nothing; its fault is logged the
    // first time and counted every time. A standard exception from the parser passes through.
    bool operator==(const std::shared_ptr<tdFlow> &flow) const;
    bool IsExempt(const std::shared_ptr<tdFlow> &flow) const { return *this == flow; }

    Type GetType() const { return type; }
    const std::string &GetExpression() const { return expr; }
    // The parser's fault for an expression that does not compile, or empty.
    std::string CompileFault() const;
    // How often evaluating the expression faulted.
    uint64_t GetFaults() const { return faults; }

private:
    bool ParseExpression(const std::shared_ptr<tdFlow> &flow) const;
    // Counts a fault and gives the "not exempt" it stands for.
    bool Fault(const std::string &fault) const;

    Type type;
    std::string expr;
    tdAddr addr;
    std::unique_ptr<const tfaExpression> expression;
    mutable uint64_t faults = 0;
};
