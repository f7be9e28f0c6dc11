#include "tools/replay/config_check.hpp"

#include "agent/log_control.hpp"
#include "agent/thread_watch.hpp"
#include "host/log.hpp"

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

namespace
{
constexpr const char *CONF_FILENAME = "conf_filename";
// The worker's first line of a load, and the start of the line that ends a load that finished.
constexpr const char *RELOADING = ": Reloading configuration...\n";
constexpr const char *LOADED = ": Loaded ";
constexpr const char *LOAD_FAULTS = "load_faults";
constexpr std::chrono::milliseconds LOAD_POLL{2};

using Outcome = tfaConfigCheck::Outcome;

// Collects every line written while it lives, with debug output on, and then restores both.
class Collector
{
public:
    Collector() : debug(td_debug_enabled())
    {
        td_set_debug(true);
        previous = td_set_log_hook([this](bool debug, const std::string &text) {
            std::lock_guard<std::mutex> guard(lock);
            if (collecting)
                lines.push_back({debug, text});
        });
    }
    ~Collector()
    {
        td_set_log_hook(std::move(previous));
        td_set_debug(debug);
    }
    Collector(const Collector &) = delete;
    Collector &operator=(const Collector &) = delete;

    // Lines written after this are dropped; what the plug-in writes as it is destroyed is not
    // part of the load.
    std::vector<tfaConfigCheck::Line> Stop()
    {
        std::lock_guard<std::mutex> guard(lock);
        collecting = false;
        return lines;
    }

private:
    bool debug;
    tdLogHook previous;
    std::mutex lock;
    bool collecting = true;
    std::vector<tfaConfigCheck::Line> lines;
};

// Waits until the worker has taken its thread lock, which it does once a pass after the reload
// step, or until it has ended. False when the limit ran out first.
bool WaitForFirstPass(const tdThread &worker)
{
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(tfaConfigCheck::LOAD_LIMIT_SECONDS);
    while (tdThreadWatch::OwnLocks(worker) == 0 && !tdThreadWatch::Ended(worker)) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(LOAD_POLL);
    }
    return true;
}

// What the load reported without refusing the file, as the plug-in's status counts it.
uint64_t LoadFaults(tdPluginProcessor &plugin)
{
    json status = json::object();
    plugin.GetStatus(status);
    auto it = status.find(LOAD_FAULTS);
    return it != status.end() && it->is_number_unsigned() ? it->get<uint64_t>() : 0;
}

// The lines from the start of the load on (the worker's start-up lines come before it), and
// whether the load reached its summary line.
Outcome Judge(const std::string &tag, const std::vector<tfaConfigCheck::Line> &lines)
{
    Outcome outcome;
    const std::string reloading = tag + RELOADING, loaded = tag + LOADED;
    bool started = false;
    for (const auto &line : lines) {
        started = started || (line.debug && line.text == reloading);
        if (!started)
            continue;
        outcome.lines.push_back(line);
        if (line.debug && line.text.compare(0, loaded.size(), loaded) == 0)
            outcome.loaded = true;
    }
    return outcome;
}
} // namespace

void tfaConfigCheck::Outcome::Write(bool debug) const
{
    for (const auto &line : lines)
        if (debug || !line.debug)
            td_printf("%s", line.text.c_str());
}

tfaConfigCheck::Outcome tfaConfigCheck::Load(tdPluginLoader &loader, const std::string &tag,
                                             const std::string &config)
{
    Collector collector;
    std::unique_ptr<tdPluginProcessor> plugin(loader.Init(tag, {{CONF_FILENAME, config}}));
    if (!plugin) {
        Outcome refused;
        refused.lines.push_back({false, tag + ": the plug-in's entry refused to build it\n"});
        return refused;
    }
    plugin->Create();
    bool passed = WaitForFirstPass(*plugin);
    Outcome outcome = Judge(tag, collector.Stop());
    if (!passed)
        outcome.lines.push_back(
            {false, tag + ": the plug-in did not finish loading its configuration within " +
                        std::to_string(LOAD_LIMIT_SECONDS) + " seconds\n"});
    outcome.loaded = outcome.loaded && passed;
    outcome.faults = LoadFaults(*plugin);
    plugin->Terminate();
    return outcome;
}
