#include "rules/criteria_index.hpp"

#include "encoding/endpoints.hpp"
#include "host/log.hpp"
#include "rules/simple_criteria.hpp"

#include <algorithm>
#include <charconv>
#include <limits>

namespace
{
constexpr uint32_t PORT_MAX = std::numeric_limits<uint16_t>::max();
constexpr uint32_t ID_MAX = std::numeric_limits<uint32_t>::max();
} // namespace

tfaCriteriaIndex::tfaCriteriaIndex(const std::string &owner,
                                   const std::vector<std::unique_ptr<tfaCriteria>> &criteria)
    : owner(owner), criteria(criteria), indexed(criteria.size(), false),
      searched(criteria.size(), false)
{
    for (auto &set : patterns)
        set = std::make_unique<tfaRegexSet>();
    for (size_t position = 0; position < criteria.size(); position++) {
        indexed[position] = Add(position, *criteria[position]);
        count += indexed[position];
    }
    CompilePatterns();
}

bool tfaCriteriaIndex::Add(size_t position, const tfaCriteria &item)
{
    switch (item.GetType()) {
    case tfaCriteria::CT_ANY:
        any = std::min(any, position);
        return true;
    case tfaCriteria::CT_EXPRESSION:
        return item.IsValidExpression() && AddExpression(position, item.GetExpression());
    default:
        break;
    }
    // A negated list of identifiers matches all but them: only the empty one is simple.
    if (item.IsNegated()) {
        if (!item.GetIds().empty())
            return false;
        any = std::min(any, position);
        return true;
    }
    bool application = item.GetType() == tfaCriteria::CT_AI || item.GetType() == tfaCriteria::CT_AC;
    for (uint32_t id : item.GetIds())
        Keep(application ? applications : protocols, id, position);
    return true;
}

bool tfaCriteriaIndex::AddExpression(size_t position, const std::string &text)
{
    auto simple = tfaSimpleCriteria::Parse(text);
    if (!simple)
        return false;
    const std::string &literal = simple->literal;
    if (simple->op == tfaSimpleCriteria::MATCHES) {
        bool dns = simple->field == tfaSimpleCriteria::DNS_HOST_NAME;
        if (!simple->quoted || (!dns && simple->field != tfaSimpleCriteria::HOST_SERVER_NAME))
            return false;
        searched[position] = patterns[dns ? DNS : SERVER]->Add(literal, position);
        return searched[position];
    }

    switch (simple->field) {
    case tfaSimpleCriteria::LOCAL_IP:
    case tfaSimpleCriteria::OTHER_IP:
        return !simple->quoted &&
               addresses[simple->field == tfaSimpleCriteria::OTHER_IP].Insert(literal, position);
    case tfaSimpleCriteria::LOCAL_PORT:
    case tfaSimpleCriteria::OTHER_PORT:
        return !simple->quoted &&
               AddNumber(ports[simple->field == tfaSimpleCriteria::OTHER_PORT], literal, PORT_MAX,
                         position);
    case tfaSimpleCriteria::DETECTED_PROTOCOL:
        return !simple->quoted && AddNumber(protocols, literal, ID_MAX, position);
    case tfaSimpleCriteria::DETECTED_APPLICATION:
        return !simple->quoted && AddNumber(applications, literal, ID_MAX, position);
    case tfaSimpleCriteria::HOST_SERVER_NAME:
    case tfaSimpleCriteria::DNS_HOST_NAME:
        if (!simple->quoted)
            return false;
        names[simple->field == tfaSimpleCriteria::DNS_HOST_NAME ? DNS : SERVER].emplace(literal,
                                                                                       position);
        return true;
    }
    return false;
}

// Decimal digits only: other spellings of a number are the parser's to read.
bool tfaCriteriaIndex::AddNumber(Positions &map, const std::string &literal, uint32_t max,
                                 size_t position)
{
    uint64_t value = 0;
    auto end = literal.data() + literal.size();
    auto result = std::from_chars(literal.data(), end, value);
    if (result.ec != std::errc() || result.ptr != end || literal[0] == '+' || value > max)
        return false;
    Keep(map, static_cast<uint32_t>(value), position);
    return true;
}

// Keeps the earliest position of a key listed more than once.
void tfaCriteriaIndex::Keep(Positions &map, uint32_t key, size_t position)
{
    map.emplace(key, position);
}

// A set that cannot be built leaves its patterns to be evaluated one by one.
void tfaCriteriaIndex::CompilePatterns()
{
    for (auto &set : patterns) {
        if (set->Empty() || set->Compile())
            continue;
        td_printf("%s: %zu regular expressions could not be searched as one set; "
                  "evaluating them one by one\n",
                  owner.c_str(), set->Positions().size());
        for (size_t position : set->Positions()) {
            indexed[position] = false;
            searched[position] = false;
            count--;
        }
        set = std::make_unique<tfaRegexSet>();
    }
}

size_t tfaCriteriaIndex::Lookup(const Positions &map, uint32_t key)
{
    if (map.empty())
        return NONE;
    auto found = map.find(key);
    return found == map.end() ? NONE : found->second;
}

size_t tfaCriteriaIndex::FirstMatch(const std::shared_ptr<tdFlow> &flow,
                                    const tdFlowParams &params) const
{
    const tdFlow &f = *flow;
    size_t earliest = any;
    earliest = std::min(earliest, Lookup(applications, f.detected_application));
    earliest = std::min(earliest, Lookup(protocols, f.detected_protocol));
    for (bool other : {false, true}) {
        if (ports[other].empty() && addresses[other].Empty())
            continue;
        const tdAddr &endpoint = tfaEndpointAddr(f, other);
        if (!ports[other].empty())
            earliest = std::min(earliest, Lookup(ports[other], endpoint.GetPort(true)));
        earliest = std::min(earliest, addresses[other].Find(endpoint));
    }
    const std::string *values[NAMES] = {&f.host_server_name, &f.dns_host_name};
    for (size_t name = 0; name < NAMES; name++) {
        // An empty name is absent: it equals nothing and matches no pattern.
        if (values[name]->empty())
            continue;
        if (!names[name].empty()) {
            auto found = names[name].find(*values[name]);
            if (found != names[name].end())
                earliest = std::min(earliest, found->second);
        }
        if (!patterns[name]->Empty())
            earliest = std::min(earliest, FindPattern(Name(name), *values[name], flow, params));
    }
    return earliest;
}

size_t tfaCriteriaIndex::FindPattern(Name name, const std::string &text,
                                     const std::shared_ptr<tdFlow> &flow,
                                     const tdFlowParams &params) const
{
    size_t found = patterns[name]->Find(text);
    if (found != tfaRegexSet::UNDECIDED)
        return found;
    if (!undecided_reported) {
        undecided_reported = true;
        td_printf("%s: a regular expression set ran out of memory; evaluating its "
                  "patterns one by one\n",
                  owner.c_str());
    }
    std::pair<const std::shared_ptr<tdFlow> &, const tdFlowParams &> event(flow, params);
    for (size_t position : patterns[name]->Positions()) {
        if (*criteria[position] == event)
            return position;
    }
    return NONE;
}
