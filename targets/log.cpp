#include "targets/log.hpp"

#include "host/exception.hpp"
#include "host/json_text.hpp"
#include "host/log.hpp"
#include "rules/action.hpp"
#include "targets/target_keys.hpp"

#include <cerrno>
#include <cstring>
#include <new>

namespace
{
constexpr uint32_t default_interval = 60;
constexpr char default_path[] = "/tmp";
constexpr char default_prefix[] = "tarvix-proc-flow-actions";
constexpr char default_suffix[] = ".json";
constexpr char prefix_separator[] = "-";

int ReadMonotonic(struct timespec *ts)
{
    return clock_gettime(CLOCK_MONOTONIC, ts);
}

time_t ReadWall()
{
    return time(nullptr);
}

} // namespace

tfaTargetLog::Clocks tfaTargetLog::clocks = {ReadMonotonic, ReadWall};

std::unique_ptr<tfaTargetLog> tfaTargetLog::Create(const std::string &name,
                                                   const json &target_config,
                                                   const json &type_config)
{
    uint32_t interval = default_interval;
    std::string path = default_path, prefix = default_prefix, suffix = default_suffix;
    tfaTargetKeys keys(name, type_config, target_config);
    keys.Unsigned("interval", interval);
    keys.String("path", path);
    keys.String("prefix", prefix);
    keys.String("suffix", suffix);
    return std::make_unique<tfaTargetLog>(name, interval, path, prefix, suffix);
}

tfaTargetLog::tfaTargetLog(const std::string &name, uint32_t interval, const std::string &path,
                           const std::string &prefix, const std::string &suffix)
    : tfaTarget(TT_LOG, name, TF_NONE), interval(interval),
      log_dir(path, prefix + prefix_separator, suffix, false), time_start(clocks.wall())
{
    ReadClock(last_write);
}

tfaTargetLog::~tfaTargetLog()
{
    if (entries.empty())
        return;
    try {
        Write();
    } catch (const std::exception &e) {
        td_dprintf("%s: Error writing log file: %s\n", name.c_str(), e.what());
    }
}

void tfaTargetLog::Tick()
{
    ReadClock(now);
    if (now.tv_sec - last_write.tv_sec < interval)
        return;
    if (!entries.empty())
        Write();
    ReadClock(last_write);
}

bool tfaTargetLog::ProcessFlow(const tfaAction &action, tdPluginProcessor::Event event,
                               std::shared_ptr<tdFlow> &flow)
{
    try {
        entries.emplace_back(action.name, event, *flow);
    } catch (const std::bad_alloc &) {
        td_dprintf("%s: Error adding log entry: %s\n", name.c_str(), strerror(ENOMEM));
        return false;
    }
    return true;
}

void tfaTargetLog::ReadClock(struct timespec &ts) const
{
    if (clocks.monotonic(&ts) != 0)
        throw tdException("%s: %s: %s", name.c_str(), "clock_gettime", strerror(errno));
}

// The entries leave the list before the file is opened: a batch that cannot be written is
// dropped, so a directory that stays broken cannot make memory grow without bound.
void tfaTargetLog::Write()
{
    td_dprintf("%s: writing %u flow log entries...\n", name.c_str(),
               static_cast<unsigned>(entries.size()));
    std::vector<json> array;
    array.reserve(entries.size());
    for (const auto &entry : entries)
        entry.Append(array);
    entries.clear();

    FILE *file = log_dir.Open();
    if (file == nullptr) {
        td_dprintf("%s: Error opening new log file: %s\n", name.c_str(), strerror(errno));
        return;
    }
    time_t time_end = clocks.wall();
    json document = json::object();
    document["time_start"] = time_start;
    document["time_end"] = time_end;
    document["entries"] = std::move(array);

    std::string text;
    td_json_to_string(document, text, false);
    text += '\n';
    bool written = fwrite(text.data(), 1, text.size(), file) == text.size();
    int error = errno;
    if (!log_dir.Close() || !written) {
        td_dprintf("%s: Error writing log file: %s\n", name.c_str(),
                   strerror(written ? errno : error));
        return;
    }
    time_start = time_end;
}
