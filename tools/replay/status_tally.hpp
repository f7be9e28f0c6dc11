#pragma once

#include "host/json.hpp"
#include "host/plugin.hpp"

#include <cstdint>
#include <mutex>

// The plug-in's status over a whole run. Each GetStatus report hands over the flow counters
// ("flows", "flows_priv") counted since the previous report and resets them, so this object is
// the only one that may ask for status while it is in use: it adds every report's flow counters
// to the run's sums. The other members are taken from the latest report.
class tfaStatusTally
{
public:
    explicit tfaStatusTally(tdPlugin &plugin) : plugin(plugin) {}

    // Asks the plug-in for a report and returns the run's status: the report's members, with
    // "flows" and "flows_priv" summed over the run. Thread-safe.
    json Poll();

    // Flow events the worker has taken from its queue over the run, as of the last Poll().
    uint64_t GetFlows() const;

private:
    tdPlugin &plugin;
    mutable std::mutex lock;
    json status = json::object();
    uint64_t flows = 0;
    uint64_t flows_priv = 0;
};
