#include "rules/exemption.hpp"

#include "host/log.hpp"

namespace
{
constexpr const char *ZERO_LENGTH = "Exemption criteria can not be zero-length";
} // namespace

std::unique_ptr<tfaExemption> tfaExemption::Create(const std::string &text)
{
    return std::make_unique<tfaExemption>(text);
}

tfaExemption::tfaExemption(const std::string &text) : type(ET_NONE), expr(text)
{
    if (text.empty())
        throw std::string(ZERO_LENGTH);

    tdAddr::Create(addr, text);
    if (!addr.IsSet()) {
        type = ET_EXPRESSION;
        expression = std::make_unique<const tfaExpression>(text);
    }
    else if (addr.IsEthernet())
        type = ET_MAC;
    else if (addr.IsIPv4() || addr.IsIPv6())
        type = ET_ADDR;
}

bool tfaExemption::operator==(const std::shared_ptr<tdFlow> &flow) const
{
    switch (type) {
    case ET_MAC:
        return addr == flow->lower_mac || addr == flow->upper_mac;
    case ET_ADDR:
        return addr == flow->lower_addr || addr == flow->upper_addr;
    case ET_EXPRESSION:
        return ParseExpression(flow);
    case ET_NONE:
        return false;
    }
    return false;
}

bool tfaExemption::ParseExpression(const std::shared_ptr<tdFlow> &flow) const
{
    // A text that did not compile faults the same way on every flow: no need to ask the parser.
    if (!expression->Fault().empty())
        return Fault(expression->Fault());
    // Exemptions judge the flow alone: the event's parameters are not theirs to see.
    const tdFlowParams no_params;
    try {
        return expression->Matches(flow, no_params);
    } catch (const std::string &fault) {
        return Fault(fault);
    }
}

// Once per load: the same fault on every flow would bury everything else in the log.
bool tfaExemption::Fault(const std::string &fault) const
{
    if (faults++ == 0) {
        td_printf("Error parsing exemption expression: %s\n", fault.c_str());
        td_dprintf("Expression: %s\n", expr.c_str());
    }
    return false;
}

std::string tfaExemption::CompileFault() const
{
    return expression ? expression->Fault() : std::string();
}
