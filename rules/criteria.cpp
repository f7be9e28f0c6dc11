#include "rules/criteria.hpp"

#include "host/exception.hpp"
#include "host/instance.hpp"
#include "host/log.hpp"
#include "rules/exception_text.hpp"
#include "rules/protocols.hpp"
#include "rules/rules_context.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>

const char *tfaCriteria::type_prefixes[7] = {"ai", "ac", "pi", "pc", nullptr, nullptr, nullptr};

namespace
{
constexpr const char *ANY = "*";
constexpr const char *ZERO_LENGTH = "invalid criteria (zero-length)";
constexpr char PREFIX_END = ':';
constexpr char NEGATION = '!';
constexpr char TAG_SEPARATOR = '.';
constexpr const char *TAG_NAMESPACE = "tarvix.";
constexpr const char *UNCLASSIFIED_TAG = "tarvix.unclassified";
// The prefix table has room for more kinds; its tail stays null.
constexpr size_t PREFIX_SCAN_LIMIT = 6;
// Base 0: "0x" reads as hexadecimal and a leading "0" as octal.
constexpr int AUTO_BASE = 0;

// Reads a number as strtoul does, truncated to 32 bits. False when the digits do not form one
// number ("08" is not octal) or it overflows, so a typo never selects identifier 0 or -1.
bool ReadWholeNumber(const std::string &text, uint32_t &value)
{
    char *end = nullptr;
    errno = 0;
    unsigned long number = strtoul(text.c_str(), &end, AUTO_BASE);
    value = static_cast<uint32_t>(number);
    return errno == 0 && *end == '\0';
}

// Reads the leading number of a text; anything that is not a number reads as 0.
uint32_t ReadLeadingNumber(const std::string &text)
{
    return static_cast<uint32_t>(strtoul(text.c_str(), nullptr, AUTO_BASE));
}

bool EqualsIgnoringCase(const std::string &value, const char *name)
{
    return value.size() == strlen(name) &&
           strncasecmp(value.c_str(), name, tdProto::NAME_MAX_LENGTH) == 0;
}

[[noreturn]] void ThrowParseError(const std::string &expr, const char *reason)
{
    throw tdException("criteria parse error: \"%s\": %s", expr.c_str(), reason);
}
} // namespace

std::unique_ptr<tfaCriteria> tfaCriteria::Create(const std::string &text)
{
    return std::make_unique<tfaCriteria>(text);
}

tfaCriteria::tfaCriteria(const std::string &text) : apps(tdInstance::GetInstance().apps), expr(text)
{
    if (text == ANY) {
        type = CT_ANY;
        return;
    }
    if (text.empty())
        throw std::string(ZERO_LENGTH);

    size_t colon = text.find(PREFIX_END);
    if (colon == std::string::npos || colon == 0) {
        expression = std::make_unique<tfaExpression>(text);
        return;
    }

    type = FindType(text.substr(0, colon));

    std::string value = text.substr(colon + 1);
    if (!value.empty() && value[0] == NEGATION) {
        negated = true;
        value.erase(0, 1);
    }
    // A lone "!" would otherwise resolve nothing and, negated, match every flow.
    if (value.empty())
        throw text;

    if (type == CT_PI)
        ResolveProtocol(value);
    else if (type == CT_AI)
        ResolveApplication(value);
    else if (type == CT_EXPRESSION)
        expression = std::make_unique<tfaExpression>(text);
}

tfaCriteria::Type tfaCriteria::FindType(const std::string &prefix)
{
    for (size_t i = 0; i < PREFIX_SCAN_LIMIT && type_prefixes[i] != nullptr; i++) {
        if (prefix == type_prefixes[i])
            return static_cast<Type>(i);
    }
    return CT_EXPRESSION;
}

bool tfaCriteria::IsNumeric(const std::string &text)
{
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Accepts an identifier ("119", "0167"), a bare name ("facebook"), a tag ("tarvix.facebook") or
// an identifier with its tag ("119.tarvix.facebook").
bool tfaCriteria::LookupApplication(const std::string &value, tdApplication &app) const
{
    tdApp::Id id = 0;
    std::string tag;
    switch (std::count(value.begin(), value.end(), TAG_SEPARATOR)) {
    case 0:
        if (!IsNumeric(value))
            tag = TAG_NAMESPACE + value;
        else if (!ReadWholeNumber(value, id))
            return false;
        break;
    case 1:
        tag = value;
        break;
    case 2:
        id = ReadLeadingNumber(value.substr(0, value.find(TAG_SEPARATOR)));
        break;
    default:
        break;
    }

    if (id != 0)
        return apps.Lookup(id, app);
    if (!tag.empty())
        return apps.Lookup(tag, app);
    return true;
}

void tfaCriteria::ResolveApplication(const std::string &value)
{
    tdApplication app;
    app.id = 0;
    app.tag = UNCLASSIFIED_TAG;
    if (!LookupApplication(value, app)) {
        fault = "Invalid application: " + value;
        return;
    }
    if (app.id == 0) {
        td_dprintf("Failed to resolve application: %s: %u\n", value.c_str(), app.id);
        return;
    }
    ids.push_back(app.id);
    td_dprintf("Push application ID: %s: %u\n", value.c_str(), app.id);
}

void tfaCriteria::ResolveProtocol(const std::string &value)
{
    const auto &names = tdProto::GetNames();
    if (IsNumeric(value)) {
        uint32_t number = 0;
        if (!ReadWholeNumber(value, number)) {
            fault = "Invalid protocol ID: " + value;
            return;
        }
        auto entry = names.find(static_cast<tdProto::Id>(number));
        if (entry == names.end()) {
            fault = "Invalid protocol ID: " + std::to_string(number);
            return;
        }
        PushProtocol(entry->first, entry->second);
        return;
    }

    for (const auto &entry : names) {
        if (EqualsIgnoringCase(value, entry.second)) {
            PushProtocol(entry.first, entry.second);
            return;
        }
    }
    fault = "Invalid protocol: " + value;
}

void tfaCriteria::PushProtocol(int32_t id, const char *name)
{
    ids.push_back(static_cast<uint32_t>(id));
    td_dprintf("Push protocol ID: %s: %u\n", name, static_cast<uint32_t>(id));
}

bool tfaCriteria::operator==(
    std::pair<const std::shared_ptr<tdFlow> &, const tdFlowParams &> flow) const
{
    switch (type) {
    case CT_AI:
    case CT_AC:
        return Contains(flow.first->detected_application);
    case CT_PI:
    case CT_PC:
        return Contains(flow.first->detected_protocol);
    case CT_EXPRESSION:
        return ParseExpression(flow.first, flow.second);
    case CT_ANY:
        return true;
    }
    return false;
}

bool tfaCriteria::Contains(uint32_t key) const
{
    bool listed = std::find(ids.begin(), ids.end(), key) != ids.end();
    return listed != negated;
}

bool tfaCriteria::ParseExpression(const std::shared_ptr<tdFlow> &flow,
                                  const tdFlowParams &params) const
{
    try {
        return expression->Matches(flow, params);
    } catch (...) {
        ThrowParseError(expr, tfaExceptionText().c_str());
    }
}

const std::string &tfaCriteria::CompileFault() const
{
    static const std::string none;
    return expression ? expression->Fault() : none;
}
