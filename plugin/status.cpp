#include "host/term.hpp"
#include "plugin/plugin.hpp"

#include <cstdio>

namespace
{
// The member's value when it holds an unsigned number, otherwise 0.
unsigned long Counter(const json &status, const char *key)
{
    auto it = status.find(key);
    if (it == status.end() || !it->is_number_unsigned())
        return 0;
    return static_cast<unsigned long>(it->get<uint64_t>());
}

const char *Colour(unsigned long value)
{
    return value != 0 ? tdTerm::Color::GREEN : tdTerm::Color::RED;
}

// "<icon> <what>: <count>, enabled: <count>", the icon green only when both counts are non-zero.
void PrintPair(const char *what, unsigned long count, unsigned long enabled)
{
    bool healthy = count != 0 && enabled != 0;
    fprintf(stdout, "%s%s%s %s: %s%lu%s, enabled: %s%lu%s\n",
            healthy ? tdTerm::Color::GREEN : tdTerm::Color::RED,
            healthy ? tdTerm::Icon::INFO : tdTerm::Icon::FAIL, tdTerm::Attr::RESET, what,
            Colour(count), count, tdTerm::Attr::RESET, Colour(enabled), enabled,
            tdTerm::Attr::RESET);
}
} // namespace

void tfaPlugin::GetStatus(json &status)
{
    std::lock_guard<std::mutex> guard(status_lock);
    status["actions"] = stats.actions.load();
    status["actions_enabled"] = stats.actions_enabled.load();
    // Read and reset in one step, so flows the worker counts meanwhile go into the next report.
    status["flows"] = stats.flows.exchange(0);
    status["flows_priv"] = stats.flows_priv.exchange(0);
    status["flows_queued"] = stats.flows_queued.load();
    status["flows_dropped"] = stats.flows_dropped.exchange(0);
    status["global_exemptions"] = stats.global_exemptions.load();
    status["load_faults"] = stats.load_faults.load();
    status["targets"] = stats.targets.load();
    status["targets_enabled"] = stats.targets_enabled.load();
}

void tfaPlugin::DisplayStatus(const json &status)
{
    PrintPair("actions", Counter(status, "actions"), Counter(status, "actions_enabled"));
    PrintPair("targets", Counter(status, "targets"), Counter(status, "targets_enabled"));
    fprintf(stdout, "%s global exemptions: %lu\n", tdTerm::Icon::INFO,
            Counter(status, "global_exemptions"));
    fprintf(stdout, "%s flows: %lu / %lu, queued: %lu\n", tdTerm::Icon::INFO,
            Counter(status, "flows"), Counter(status, "flows_priv"),
            Counter(status, "flows_queued"));
    fflush(stdout);
}
