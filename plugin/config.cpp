#include "host/exception.hpp"
#include "host/log.hpp"
#include "plugin/plugin.hpp"
#include "rules/action.hpp"
#include "rules/exception_text.hpp"
#include "rules/exemption.hpp"
#include "rules/read_file.hpp"
#include "targets/pftable_config.hpp"

#include <algorithm>
#include <limits>
#include <map>
#include <set>

namespace
{
constexpr int64_t DEFAULT_TIMEZONE_UPDATE_INTERVAL = 1200;
constexpr const char *DEFAULT_PF_DEVICE = "/dev/pf";
// A configuration is text written by a person; anything near this size is a wrong path.
constexpr size_t CONFIG_FILE_LIMIT = 64 * 1024 * 1024;
// Actions without a "priority" get the next number after this one, in name order, so they run
// after every action with an explicit priority (0 to 65535).
constexpr unsigned ACTION_SEQUENCE_BASE = 65535;

// Depth at which the parser reports the names inside a top-level member's object.
constexpr int SECTION_NAME_DEPTH = 2;

// Parses the file with comments allowed. Two actions (or targets) of one name would silently
// collapse into the last one, so a repeated name is refused instead.
json ParseConfig(const std::string &tag, const std::string &path, const std::string &text)
{
    static const std::map<std::string, const char *> named_sections = {
        {"actions", "action"},
        {"targets", "target"},
    };
    const char *section = nullptr;
    std::set<std::string> names;
    json::parser_callback_t check = [&](int depth, json::parse_event_t event, json &parsed) {
        if (event != json::parse_event_t::key)
            return true;
        const std::string &key = parsed.get_ref<const std::string &>();
        if (depth == SECTION_NAME_DEPTH - 1) {
            auto it = named_sections.find(key);
            section = it == named_sections.end() ? nullptr : it->second;
            names.clear();
        } else if (depth == SECTION_NAME_DEPTH && section != nullptr && !names.insert(key).second)
            throw tdException("%s: duplicate %s", key.c_str(), section);
        return true;
    };

    try {
        return json::parse(text, check, true, true);
    } catch (const json::parse_error &e) {
        td_dprintf("%s: %s: %s\n", tag.c_str(), path.c_str(), e.what());
        throw tdException("%s: Error loading configuration: %s: JSON parse error", tag.c_str(),
                          path.c_str());
    }
}

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
    td_dprintf("%s: Loading configuration: %s\n", tag.c_str(), conf_filename.c_str());

    std::string text;
    std::string error = tfaReadFile(conf_filename, CONFIG_FILE_LIMIT, text);
    if (!error.empty())
        throw tdException("%s: Error loading configuration: %s: %s", tag.c_str(),
                          conf_filename.c_str(), error.c_str());
    json config = ParseConfig(tag, conf_filename, text);

    auto reprocess = config.find("reprocess_flows");
    if (reprocess != config.end() && reprocess->is_boolean())
        reprocess_flows = reprocess->get<bool>();

    ApplyTimezone(tag, time_of_day, config);

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
            if (!device.empty())
                pf_config->SetDevice(device);
        }
    }

    auto targets_json = config.find("targets");
    if (targets_json != config.end()) {
        auto defaults = config.find("target_defaults");
        LoadTargets(*targets_json, defaults != config.end() ? *defaults : config);
    }

    auto actions_json = config.find("actions");
    if (actions_json != config.end())
        LoadActions(*actions_json);

    auto exemptions_json = config.find("exemptions");
    if (exemptions_json != config.end())
        LoadExemptions(*exemptions_json);

    td_dprintf("%s: Loaded %lu/%lu action(s), %lu/%lu target(s), %lu global exemption(s).\n",
               tag.c_str(), static_cast<unsigned long>(stats.actions_enabled.load()),
               static_cast<unsigned long>(stats.actions.load()),
               static_cast<unsigned long>(stats.targets_enabled.load()),
               static_cast<unsigned long>(stats.targets.load()),
               static_cast<unsigned long>(stats.global_exemptions.load()));
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
#ifdef TFA_HAVE_NFT
    resources.nft_config = nft_config.get();
#endif
    return kind.create(name, target_config, type_config, resources);
}

void tfaPlugin::LoadTargets(const json &targets_json, const json &defaults_json)
{
    targets.clear();

    for (const auto &[name, target_config] : targets_json.get<std::map<std::string, json>>()) {
        stats.targets++;
        if (!target_config.is_object()) {
            td_printf("%s: %s: Invalid target type, must be an object.\n", tag.c_str(),
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
        targets[name] = std::move(target);
        stats.targets_enabled++;
    }
}

void tfaPlugin::LoadActions(const json &actions_json)
{
    actions.clear();

    std::vector<std::pair<std::string, std::shared_ptr<tfaAction>>> loaded;
    unsigned sequence = ACTION_SEQUENCE_BASE;
    for (const auto &[name, config] : actions_json.get<std::map<std::string, json>>()) {
        stats.actions++;
        if (!config.is_object()) {
            td_printf("%s: %s: Invalid action type, must be an object.\n", tag.c_str(),
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
        stats.actions_enabled++;
    }

    // Stable, so actions of equal priority keep their name order.
    std::stable_sort(loaded.begin(), loaded.end(), [](const auto &a, const auto &b) {
        return a.second->priority < b.second->priority;
    });
    actions = std::move(loaded);
}

void tfaPlugin::LoadExemptions(const json &exemptions_json)
{
    exemptions.clear();

    for (const auto &element : ElementsOf(exemptions_json)) {
        std::unique_ptr<tfaExemption> exemption;
        try {
            if (element.is_string())
                exemption = tfaExemption::Create(element.get<std::string>());
        } catch (...) {
            td_dprintf("%s: %s\n", tag.c_str(), tfaExceptionText().c_str());
        }
        if (!exemption) {
            td_printf("%s: Invalid exemption data-type: %s\n", tag.c_str(), element.type_name());
            continue;
        }
        exemptions.push_back(std::move(exemption));
        stats.global_exemptions++;
    }
}
