#pragma once

#include "host/flow.hpp"
#include "host/flow_parser.hpp"

#include <memory>
#include <string>

// One flow expression as a rule holds it for the life of its configuration. Where the agent
// library hands out compiled expressions the text is compiled once, here; elsewhere every
// evaluation goes through the shared parser by text. Immutable after construction.
class tfaExpression
{
public:
    // How the text is held: compiled when the agent library offers it, or by text alone, as
    // against a library that does not.
    enum Form { COMPILED_WHEN_OFFERED, TEXT_ONLY };

    // Compiles `text`, keeping the parser's fault (see Fault()) rather than throwing it: a rule
    // that does not compile is reported at load and faults when evaluated.
    explicit tfaExpression(const std::string &text, Form form = COMPILED_WHEN_OFFERED);

    // True when the flow satisfies the expression. The caller holds the flow's lock, and takes
    // the parser's lock only after it. Throws the parser's fault as a plain std::string; a
    // standard exception from the parser passes through.
    bool Matches(const std::shared_ptr<tdFlow> &flow, const tdFlowParams &params) const;

    // Lets go of the compiled form: later evaluations go through the shared parser by text.
    // For an expression that something else answers for nearly always, to save its memory.
    void ForgetCompiled() { compiled.reset(); }

    const std::string &GetText() const { return text; }
    // The parser's fault for a text that does not compile, else empty. A fault of evaluation
    // alone (a field an empty flow lacks) is no fault of the text.
    const std::string &Fault() const { return fault; }

private:
    static bool CanCompile();
    void Compile();
    void CheckText();

    std::string text;
    std::shared_ptr<const tdFlowExpression> compiled;
    std::string fault;
};
