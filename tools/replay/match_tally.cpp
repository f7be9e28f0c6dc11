#include "tools/replay/match_tally.hpp"

#include "host/log.hpp"

#include <fstream>

namespace
{
constexpr const char *FLOW_ACTION = "flow_action";

// The action named by a payload or log entry; empty when it names none.
std::string ActionOf(const json &object)
{
    auto it = object.find(FLOW_ACTION);
    return object.is_object() && it != object.end() && it->is_string() ? it->get<std::string>()
                                                                       : std::string();
}
} // namespace

tfaMatchTally::~tfaMatchTally()
{
    tdPlugin::SetSinkHandler(nullptr);
}

void tfaMatchTally::Install(tdSinkOutput::Registry &sinks)
{
    tdPlugin::SetSinkHandler([this, &sinks](const std::string &sink,
                                            const std::set<std::string> &channels, json &payload,
                                            tdFlags<tdPlugin::DispatchFlags> flags) {
        {
            std::lock_guard<std::mutex> guard(lock);
            actions[ActionOf(payload)].sink_payloads++;
        }
        sinks.Dispatch(sink, channels, payload, flags);
    });
}

void tfaMatchTally::CountLogFiles(const std::vector<std::string> &paths)
{
    for (const auto &path : paths) {
        std::ifstream file(path);
        json document = json::parse(file, nullptr, false);
        auto entries = document.is_object() ? document.find("entries") : document.end();
        if (!document.is_object() || entries == document.end() || !entries->is_array()) {
            td_printf("replay: %s: not a log file with \"entries\"\n", path.c_str());
            continue;
        }
        std::lock_guard<std::mutex> guard(lock);
        for (const auto &entry : *entries)
            actions[ActionOf(entry)].log_entries++;
    }
}

json tfaMatchTally::Get() const
{
    std::lock_guard<std::mutex> guard(lock);
    json result = json::object();
    for (const auto &action : actions)
        result[action.first] = {{"log_entries", action.second.log_entries},
                                {"sink_payloads", action.second.sink_payloads}};
    return result;
}
