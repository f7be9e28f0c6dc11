#include "host/exception.hpp"
#include "host/log.hpp"
#include "plugin/config_parser.hpp"
#include "plugin/plugin.hpp"
#include "rules/action.hpp"
#include "rules/exception_text.hpp"
#include "rules/exemption.hpp"
#include "rules/read_file.hpp"
#include "targets/pftable_config.hpp"

#include <algorithm>
#include <limits>

namespace
{
constexpr int64_t DEFAULT_TIMEZONE_UPDATE_INTERVAL = 1200;
constexpr const char *DEFAULT_PF_DEVICE = "/dev/pf";
// A configuration is text written by a person; anything near this size is a wrong path.
constexpr size_t CONFIG_FILE_LIMIT = 64 * 1024 * 1024;
// Actions without a "priority" get the next number after this one, in name order, so they run
// after every action with an explicit priority (0 to 65535).
constexpr unsigned ACTION_SEQUENCE_BASE = 65535;

int64_t ReadInterval(const json &config)
{
    auto it = config.find("timezone_update_interval");
    if (it == config.end() || !it->is_number())
        return DEFAULT_TIMEZONE_UPDATE_INTERVAL;
    if (it->is_number_integer())
        return it->get<int64_t>();
    double seconds = std::clamp(it->get<double>(), -9.2e18, 9.2e18);
    return static_cast<int64_t>(seconds);
}

// Reads "queue_limit": a positive whole number of events.
size_t ReadQueueLimit(const std::string &tag, const json &config)
{
    auto it = config.find("queue_limit");
    if (it == config.end())
        return tfaPlugin::DEFAULT_QUEUE_LIMIT;
    if (!it->is_number_unsigned() || it->get<uint64_t>() == 0)
        throw tdException("%s: invalid %s parameter type: %s", tag.c_str(), "unsigned",
                          "queue_limit");
    return static_cast<size_t>(it->get<uint64_t>());
}

// Applies the configured zone at once. A zone that cannot be applied leaves the previous one in
// use, so the worker keeps a working clock while it reports the fault.
void ApplyTimezone(const std::string &tag, tdTimeOfDay &time_of_day, const json &config)
{
    auto zone = config.find("timezone");
    tdTimeOfDay previous = time_of_day;
    time_of_day.update_interval = ReadInterval(config);
    time_of_day.last_update = 0;
    time_of_day.timezone =
        zone != config.end() && zone->is_string() ? zone->get<std::string>() : std::string();
    try {
        time_of_day.TickUpdate();
    } catch (const std::exception &e) {
        time_of_day = previous;
        throw tdException("%s: error setting timezone: %s", tag.c_str(), e.what());
    }
}

// Writes a skipped element's message; a validation stays silent, since the load that follows it
// says the same.
template <class Build, class... Args> void Say(const Build &build, const char *format, Args... args)
{
    if (!build.validate)
        td_printf(format, args...);
}

// Every element of an array, every value of an object, or a single other non-null value.
std::vector<json> ElementsOf(const json &value)
{
    std::vector<json> elements;
    if (value.is_array() || value.is_object()) {
        for (const auto &element : value)
            elements.push_back(element);
    } else if (!value.is_null())
        elements.push_back(value);
    return elements;
}
} // namespace

void tfaPlugin::LoadConfig()
{
    Build build{targets, actions, exemptions, stats, false};
    Load(build);
}

void tfaPlugin::Validate()
{
    TargetMap staged_targets;
    ActionList staged_actions;
    ExemptionList staged_exemptions;
    Stats counts;
    Build build{staged_targets, staged_actions, staged_exemptions, counts, true};
    struct Restore {
        tfaPlugin &plugin;
        ~Restore()
        {
            plugin.validating = false;
            plugin.building = &plugin.targets;
        }
    } restore{*this};
    validating = true;
    building = &staged_targets;
    Load(build);
    // Actions refer to the staged targets: they go first.
    staged_actions.clear();
}

void tfaPlugin::Reload()
{
    if (configured) {
        try {
            Validate();
        } catch (...) {
            td_printf("%s: Configuration not reloaded; the previous one stays in force.\n",
                      tag.c_str());
            throw;
        }
    }
    configured = true;
    Unload();
    LoadConfig();
    std::lock_guard<std::mutex> guard(parser_lock);
    parser->ClearCache();
}

void tfaPlugin::Report(const std::string &text) const
{
    load_faults.push_back(text);
    // A validation says nothing: the load that follows it reports the same faults.
    if (!validating)
        tfaRulesContext::Report(text);
}

void tfaPlugin::Load(Build &build)
{
    td_dprintf("%s: %s configuration: %s\n", tag.c_str(),
               build.validate ? "Validating" : "Loading", conf_filename.c_str());
    load_faults.clear();
    // Counted also when the load stops at a fault, so the status tells what this load reported.
    struct FaultCount {
        tfaPlugin &plugin;
        bool validate;
        ~FaultCount()
        {
            if (!validate)
                plugin.stats.load_faults = plugin.load_faults.size();
        }
    } count{*this, build.validate};

    std::string text;
    std::string error = tfaReadFile(conf_filename, CONFIG_FILE_LIMIT, text);
    if (!error.empty())
        throw tdException("%s: Error loading configuration: %s: %s", tag.c_str(),
                          conf_filename.c_str(), error.c_str());
    json config = tfaConfigParser::Parse(tag, conf_filename, text);

    LoadOptions(config, build.validate);

    auto targets_json = config.find("targets");
    if (targets_json != config.end()) {
        auto defaults = config.find("target_defaults");
        LoadTargets(*targets_json, defaults != config.end() ? *defaults : config, build);
    }

    auto actions_json = config.find("actions");
    if (actions_json != config.end())
        LoadActions(*actions_json, build);

    auto exemptions_json = config.find("exemptions");
    if (exemptions_json != config.end())
        LoadExemptions(*exemptions_json, build);

    td_dprintf("%s: %s %lu/%lu action(s), %lu/%lu target(s), %lu global exemption(s).\n",
               tag.c_str(), build.validate ? "Validated" : "Loaded",
               static_cast<unsigned long>(build.counts.actions_enabled.load()),
               static_cast<unsigned long>(build.counts.actions.load()),
               static_cast<unsigned long>(build.counts.targets_enabled.load()),
               static_cast<unsigned long>(build.counts.targets.load()),
               static_cast<unsigned long>(build.counts.global_exemptions.load()));
}

void tfaPlugin::LoadOptions(const json &config, bool validate)
{
    size_t limit = ReadQueueLimit(tag, config);
    tdTimeOfDay trial = time_of_day;
    ApplyTimezone(tag, validate ? trial : time_of_day, config);

    auto globals = config.find("target_globals");
    if (globals != config.end()) {
        auto pftable = globals->find("pftable");
        if (pftable != globals->end()) {
            std::string device = DEFAULT_PF_DEVICE;
            auto it = pftable->find("device");
            if (it != pftable->end()) {
                if (!it->is_string())
                    throw tdException("%s: invalid %s parameter type: %s", tag.c_str(), "string",
                                      "device");
                device = it->get<std::string>();
            }
            // Whether the device opens is the environment's matter, reported by the load.
            if (!device.empty() && !validate)
                pf_config->SetDevice(device);
        }
    }
    if (validate)
        return;

    auto reprocess = config.find("reprocess_flows");
    if (reprocess != config.end() && reprocess->is_boolean())
        reprocess_flows = reprocess->get<bool>();
    queue_limit = limit;
}

std::unique_ptr<tfaTarget> tfaPlugin::CreateTarget(const tfaTargetKind &kind,
                                                   const std::string &name,
                                                   const json &target_config,
                                                   const json &type_config)
{
    if (kind.create == nullptr)
        return nullptr;
    tfaTargetResources resources;
    resources.pf_config = pf_config.get();
    resources.validate = validating;
#ifdef TFA_HAVE_NFT
    resources.nft_config = nft_config.get();
#endif
    return kind.create(name, target_config, type_config, resources);
}

void tfaPlugin::LoadTargets(const json &targets_json, const json &defaults_json, Build &build)
{
    build.targets.clear();

    for (const auto &[name, target_config] : targets_json.get<std::map<std::string, json>>()) {
        build.counts.targets++;
        if (!target_config.is_object()) {
            Say(build, "%s: %s: Invalid target type, must be an object.\n", tag.c_str(),
                      name.c_str());
            continue;
        }
        auto enabled = target_config.find("target_enabled");
        if (enabled != target_config.end() && enabled->is_boolean() && !enabled->get<bool>()) {
            td_dprintf("%s: %s: Target disabled, skipping...\n", tag.c_str(), name.c_str());
            continue;
        }

        auto type_name = target_config.find("target_type");
        if (type_name == target_config.end())
            throw tdException("%s: required %s parameter not found: %s", tag.c_str(), "string",
                              "target_type");
        if (!type_name->is_string())
            throw tdException("%s: invalid %s parameter type: %s", tag.c_str(), "string",
                              "target_type");
        const std::string &type = type_name->get_ref<const std::string &>();
        auto kind = target_kinds.find(type);
        if (kind == target_kinds.end())
            throw tdException("%s: %s: invalid target type: %s", tag.c_str(), name.c_str(),
                              type.c_str());

        auto defaults = defaults_json.find(type);
        const json type_config = defaults != defaults_json.end() ? *defaults : json();
        std::unique_ptr<tfaTarget> target =
            CreateTarget(kind->second, name, target_config, type_config);
        if (!target)
            continue;
        build.targets[name] = std::move(target);
        build.counts.targets_enabled++;
    }
}

void tfaPlugin::LoadActions(const json &actions_json, Build &build)
{
    build.actions.clear();

    std::vector<std::pair<std::string, std::shared_ptr<tfaAction>>> loaded;
    unsigned sequence = ACTION_SEQUENCE_BASE;
    for (const auto &[name, config] : actions_json.get<std::map<std::string, json>>()) {
        build.counts.actions++;
        if (!config.is_object()) {
            Say(build, "%s: %s: Invalid action type, must be an object.\n", tag.c_str(),
                      name.c_str());
            continue;
        }
        auto enabled = config.find("enabled");
        if (enabled != config.end()) {
            if (!enabled->is_boolean())
                throw tdException("%s: invalid %s parameter type: %s", tag.c_str(), "bool",
                                  "enabled");
            if (!enabled->get<bool>()) {
                td_dprintf("%s: %s: Action disabled, skipping...\n", tag.c_str(), name.c_str());
                continue;
            }
        }
        loaded.emplace_back(name, tfaAction::Create(this, name, sequence + 1, config));
        sequence++;
        build.counts.actions_enabled++;
    }

    // Stable, so actions of equal priority keep their name order.
    std::stable_sort(loaded.begin(), loaded.end(), [](const auto &a, const auto &b) {
        return a.second->priority < b.second->priority;
    });
    build.actions = std::move(loaded);
}

void tfaPlugin::LoadExemptions(const json &exemptions_json, Build &build)
{
    build.exemptions.clear();

    for (const auto &element : ElementsOf(exemptions_json)) {
        std::unique_ptr<tfaExemption> exemption;
        try {
            if (element.is_string())
                exemption = tfaExemption::Create(element.get<std::string>());
        } catch (...) {
            td_dprintf("%s: %s\n", tag.c_str(), tfaExceptionText().c_str());
        }
        if (!exemption) {
            Say(build, "%s: Invalid exemption data-type: %s\n", tag.c_str(), element.type_name());
            continue;
        }
        std::string fault = exemption->CompileFault();
        if (!fault.empty())
            Report(tag + ": exemption parse error: \"" + exemption->GetExpression() + "\": " +
                   fault);
        build.exemptions.push_back(std::move(exemption));
        build.counts.global_exemptions++;
    }
}
