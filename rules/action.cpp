#include "rules/action.hpp"

#include "host/exception.hpp"
#include "host/files.hpp"
#include "host/global_config.hpp"
#include "host/log.hpp"
#include "host/strings.hpp"
#include "host/time_of_day.hpp"
#include "rules/criteria.hpp"
#include "rules/exemption.hpp"
#include "rules/read_file.hpp"
#include "rules/rules_context.hpp"
#include "targets/target.hpp"

#include <sstream>

namespace
{
constexpr unsigned PRIORITY_MAX = 65535;
constexpr char COMMENT = '#';
// A list of a million addresses stays well below this; a file near it is a wrong path.
constexpr size_t CRITERIA_FILE_LIMIT = 64 * 1024 * 1024;
constexpr const char *TRAILING_BLANKS = " \t\r";

// What Create builds, owned from the start, so a failure releases everything.
template <class T> using Owned = std::vector<std::unique_ptr<T>>;

// An array's elements, or any other value as a list of one.
std::vector<json> ElementsOf(const json &value)
{
    if (value.is_array())
        return value.get<std::vector<json>>();
    return {value};
}

unsigned ReadPriority(const std::string &name, unsigned priority, const json &config)
{
    auto it = config.find("priority");
    if (it == config.end())
        return priority;
    if (!it->is_number())
        throw tdException("%s: invalid %s parameter type: %s", name.c_str(), "unsigned",
                          "priority");
    // Negative and oversized values fail alike, as the large unsigned numbers they would wrap to.
    int64_t value = it->get<int64_t>();
    if (value != static_cast<int64_t>(priority) && (value < 0 || value > PRIORITY_MAX))
        throw tdException("%s: %s invalid; > %u", name.c_str(), "priority", PRIORITY_MAX);
    return static_cast<unsigned>(value);
}

json ReadTags(const std::string &name, const json &config)
{
    json tags = json::object();
    auto it = config.find("tags");
    if (it == config.end())
        return tags;
    if (it->is_object())
        return *it;
    if (!it->is_array()) {
        td_dprintf("%s: 'tags' must be an object or array of strings. Ignoring.\n", name.c_str());
        return tags;
    }
    for (const auto &element : *it) {
        if (!element.is_string())
            continue;
        const std::string &text = element.get_ref<const std::string &>();
        size_t colon = text.find(':');
        if (colon == std::string::npos)
            tags[text] = true;
        else
            tags[text.substr(0, colon)] = text.substr(colon + 1);
    }
    return tags;
}

std::string ReadInterface(const std::string &name, const json &config)
{
    auto it = config.find("interface");
    if (it == config.end())
        return "*";
    if (!it->is_string())
        throw tdException("%s: invalid %s parameter type: %s", name.c_str(), "string", "interface");
    return it->get<std::string>();
}

// One criteria text and where it came from: "path:line" for a line of a criteria file, else
// empty.
struct Expression {
    std::string text;
    std::string origin;
};

// Removes trailing blanks, so a file written on another system ("pi:dns\r") or with a stray
// space means what it shows.
void TrimRight(std::string &line)
{
    line.erase(line.find_last_not_of(TRAILING_BLANKS) + 1);
}

// Appends the expressions of one criteria file: leading and trailing white space removed, blank
// lines and comment lines skipped.
void ReadCriteriaFile(const std::string &name, const std::string &path,
                      std::vector<Expression> &expressions)
{
    std::string text;
    std::string error = tfaReadFile(path, CRITERIA_FILE_LIMIT, text);
    if (!error.empty())
        throw tdException("%s: error opening criteria dot.d file: %s: %s", name.c_str(),
                          path.c_str(), error.c_str());
    std::istringstream file(text);
    std::string line;
    for (unsigned number = 1; std::getline(file, line); number++) {
        td_ltrim(line, 0);
        TrimRight(line);
        if (!line.empty() && line[0] != COMMENT)
            expressions.push_back({line, path + ":" + std::to_string(number)});
    }
}

// A configured criteria string names a directory of criteria files, one criteria file, or is
// itself the expression (unexpanded).
std::vector<Expression> CriteriaExpressions(const std::string &name, const std::string &text)
{
    std::string path;
    td_expand_variables(text, path, tdGlobalConfig::GetInstance().path_vars);

    std::vector<Expression> expressions;
    if (td_dir_exists(path) == 1) {
        std::vector<std::string> files;
        if (!td_scan_dotd(path, files))
            throw tdException("%s: error scanning criteria dot.d: %s", name.c_str(), path.c_str());
        for (const auto &file : files)
            ReadCriteriaFile(name, path + "/" + file, expressions);
    } else if (td_file_exists(path) == 1)
        ReadCriteriaFile(name, path, expressions);
    else
        expressions.push_back({text, std::string()});
    return expressions;
}

// "<action>: " and, for a line of a criteria file, "<path:line>: ".
std::string Owner(const std::string &name, const std::string &origin)
{
    return name + ": " + (origin.empty() ? std::string() : origin + ": ");
}

// Says at load what would otherwise show only when a flow arrives, or never: a name that
// resolved to nothing and an expression that does not compile. The criteria stays.
void ReportCriteriaFaults(const tfaRulesContext *context, const std::string &name,
                          const Expression &expression, const tfaCriteria &criteria)
{
    if (!criteria.GetFault().empty())
        context->Report(Owner(name, expression.origin) + criteria.GetFault());
    std::string fault = criteria.CompileFault();
    if (!fault.empty())
        context->Report(Owner(name, expression.origin) + "criteria parse error: \"" +
                        expression.text + "\": " + fault);
}

// The criteria and exemption constructors throw plain strings; the action's name says whose.
[[noreturn]] void ThrowNamed(const std::string &name, const std::string &fault)
{
    throw tdException("%s: %s", name.c_str(), fault.c_str());
}

Owned<tfaCriteria> ReadCriteria(const tfaRulesContext *context, const std::string &name,
                                const json &config)
{
    auto it = config.find("criteria");
    if (it == config.end())
        throw tdException("%s: required %s parameters missing: %s", name.c_str(), "string",
                          "criteria");
    if (!it->is_string() && !it->is_array())
        throw tdException("%s: invalid %s parameter type: %s", name.c_str(), "string or array",
                          "criteria");

    Owned<tfaCriteria> criteria;
    for (const auto &element : ElementsOf(*it)) {
        auto expressions = CriteriaExpressions(name, element.get<std::string>());
        if (expressions.empty())
            td_dprintf("%s: WARNING: no criteria expressions defined.\n", name.c_str());
        for (const auto &expression : expressions) {
            try {
                criteria.emplace_back(tfaCriteria::Create(expression.text));
            } catch (const std::string &fault) {
                ThrowNamed(name, fault);
            } catch (const std::exception &e) {
                throw tdException("%s: error creating critera: %s: %s", name.c_str(),
                                  expression.text.c_str(), e.what());
            }
            ReportCriteriaFaults(context, name, expression, *criteria.back());
        }
    }
    return criteria;
}

Owned<tdTimeOfDay> ReadTimeOfDay(const std::string &name, const json &config)
{
    Owned<tdTimeOfDay> windows;
    auto it = config.find("time_of_day");
    if (it == config.end() || !it->is_array())
        return windows;
    for (const auto &element : *it) {
        auto window = std::make_unique<tdTimeOfDay>();
        tdTimeOfDay::Load(*window, "00:00", "23:59", tdTimeOfDay::ALL_DAYS,
                          tdTimeOfDay::POLICY_INSIDE);
        try {
            tdTimeOfDay::Load(*window, element);
        } catch (const std::exception &e) {
            throw tdException("%s: invalid time_of_day: %s", name.c_str(), e.what());
        }
        if (!window->valid) {
            std::string description;
            tdTimeOfDay::Describe(*window, description);
            throw tdException("%s: invalid time_of_day: %s", name.c_str(), description.c_str());
        }
        windows.push_back(std::move(window));
    }
    return windows;
}

std::unordered_map<std::string, tfaTarget *> ReadTargets(const tfaRulesContext *context,
                                                         const std::string &name, const json &config)
{
    auto it = config.find("targets");
    if (it == config.end())
        throw tdException("%s: required %s parameter missing: %s", name.c_str(), "array",
                          "targets");
    std::unordered_map<std::string, tfaTarget *> targets;
    for (const auto &element : ElementsOf(*it)) {
        if (!element.is_string())
            throw tdException("%s: target name must be a %s, not: %s", name.c_str(), "string",
                              element.type_name());
        const std::string &target_name = element.get_ref<const std::string &>();
        tfaTarget *target = context->FindTarget(target_name);
        if (target == nullptr)
            throw tdException("%s: target not found: %s", name.c_str(), target_name.c_str());
        targets[target_name] = target;
    }
    if (targets.empty())
        throw tdException("%s: action disabled, no associated targets found.\n", name.c_str());
    return targets;
}

Owned<tfaExemption> ReadExemptions(const tfaRulesContext *context, const std::string &name,
                                   const json &config)
{
    Owned<tfaExemption> exemptions;
    auto it = config.find("exemptions");
    if (it == config.end())
        return exemptions;
    for (const auto &element : ElementsOf(*it)) {
        if (!element.is_string())
            throw tdException("%s: exemptions must be a %s, not: %s", name.c_str(), "string",
                              element.type_name());
        const std::string &text = element.get_ref<const std::string &>();
        try {
            exemptions.emplace_back(tfaExemption::Create(text));
        } catch (const std::string &fault) {
            ThrowNamed(name, fault);
        }
        std::string fault = exemptions.back()->CompileFault();
        if (!fault.empty())
            context->Report(name + ": exemption parse error: \"" + text + "\": " + fault);
    }
    return exemptions;
}

bool ReadHaltOnMatch(const std::string &name, const json &config)
{
    auto it = config.find("halt_on_match");
    if (it == config.end())
        return false;
    if (!it->is_boolean())
        throw tdException("%s: invalid %s parameter type: %s", name.c_str(), "bool",
                          "halt_on_match");
    return it->get<bool>();
}

bool InterfaceMatches(const std::string &filter, const tdFlow &flow)
{
    static const std::string LAN = "lan", WAN = "wan";
    if (filter.empty() || filter[0] == '*')
        return true;
    if (filter == LAN)
        return flow.iface_role == tdFlow::ROLE_LAN;
    if (filter == WAN)
        return flow.iface_role == tdFlow::ROLE_WAN;
    return filter == flow.iface_name;
}
} // namespace

std::shared_ptr<tfaAction> tfaAction::Create(const tfaRulesContext *context,
                                             const std::string &name, unsigned priority,
                                             const json &config)
{
    priority = ReadPriority(name, priority, config);
    json tags = ReadTags(name, config);
    std::string interface = ReadInterface(name, config);
    Owned<tfaCriteria> criteria = ReadCriteria(context, name, config);
    Owned<tdTimeOfDay> windows = ReadTimeOfDay(name, config);
    auto targets = ReadTargets(context, name, config);
    Owned<tfaExemption> exemptions = ReadExemptions(context, name, config);
    bool halt_on_match = ReadHaltOnMatch(name, config);

    return std::make_shared<tfaAction>(context, name, priority, interface, std::move(criteria),
                                       std::move(windows), std::move(targets), tags,
                                       std::move(exemptions), halt_on_match);
}

tfaAction::tfaAction(const tfaRulesContext *context, const std::string &name, unsigned priority,
                     const std::string &interface,
                     std::vector<std::unique_ptr<tfaCriteria>> criteria,
                     std::vector<std::unique_ptr<tdTimeOfDay>> time_of_day,
                     std::unordered_map<std::string, tfaTarget *> targets, const json &tags,
                     std::vector<std::unique_ptr<tfaExemption>> exemptions, bool halt_on_match)
    : name(name), priority(priority), tags(tags), context(context), interface(interface),
      criteria(name, std::move(criteria)), time_of_day(std::move(time_of_day)),
      targets(std::move(targets)), exemptions(std::move(exemptions)), halt_on_match(halt_on_match)
{
}

tfaAction::~tfaAction() = default;

bool tfaAction::InsideTime() const
{
    if (time_of_day.empty())
        return true;
    size_t windows = 0;
    int64_t now = context->GetNow();
    for (const auto &window : time_of_day) {
        if (!window->valid)
            continue;
        windows++;
        if (*window == now)
            return true;
    }
    return windows == 0;
}

bool tfaAction::MatchesCriteria(const std::shared_ptr<tdFlow> &flow,
                                const tdFlowParams &params)
{
    size_t position;
    try {
        position = criteria.FirstMatch(flow, params);
    } catch (const tdException &e) {
        return Fault(e.what());
    }
    if (position == tfaCriteriaList::FAULTED)
        return Fault(criteria.CompileFault());
    return position != tfaCriteriaList::NONE;
}

// The flow skips this action only; logged once per load, since it would fault on every flow.
bool tfaAction::Fault(const std::string &text)
{
    if (faults++ == 0)
        td_printf("%s: %s\n", name.c_str(), text.c_str());
    return false;
}

tfaAction::Result tfaAction::Evaluate(const std::shared_ptr<tdFlow> &flow,
                                      const tdFlowParams &params)
{
    if (!InsideTime())
        return AR_OUTSIDE_TIME;
    if (!InterfaceMatches(interface, *flow))
        return AR_NO_MATCH;

    for (const auto &exemption : exemptions) {
        if (exemption->IsExempt(flow)) {
            td_dprintf("%s: Exempt.\n", name.c_str());
            return AR_EXEMPT;
        }
    }
    return MatchesCriteria(flow, params) ? AR_MATCH : AR_NO_MATCH;
}

tfaAction::Result tfaAction::ProcessFlow(tdPluginProcessor::Event event, std::shared_ptr<tdFlow> &flow,
                           tdFlowParams &params)
{
    Result result = Evaluate(flow, params);
    if (result != AR_MATCH)
        return result;

    for (auto &target : targets)
        target.second->ProcessFlow(*this, event, flow);

    flow->Print(tdFlow::PrintFlags::METADATA, name);
    td_dprintf("%s: matched%s.\n", name.c_str(), halt_on_match ? " and halted" : "");
    return halt_on_match ? AR_HALT : AR_MATCH;
}
