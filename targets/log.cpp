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
constexpr uint32_t default_max_entries = 100000;

// A name part with "/" would leave the directory, and a NUL byte would cut the name the system
// sees short, so neither could ever be written.
void CheckName(const std::string &name, const char *key, const std::string &value, bool is_path)
{
    if (value.find('\0') != std::string::npos)
        throw tdException("%s: invalid %s: contains a NUL byte", name.c_str(), key);
    if (!is_path && value.find('/') != std::string::npos)
        throw tdException("%s: invalid %s: contains \"/\"", name.c_str(), key);
}

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
    uint32_t max_entries = default_max_entries;
    keys.Unsigned("max_entries", max_entries);
    if (max_entries == 0)
        throw tdException("%s: %s invalid; < %u", name.c_str(), "max_entries", 1u);
    CheckName(name, "path", path, true);
    CheckName(name, "prefix", prefix, false);
    CheckName(name, "suffix", suffix, false);
    return std::make_unique<tfaTargetLog>(name, interval, path, prefix, suffix, max_entries);
}

tfaTargetLog::tfaTargetLog(const std::string &name, uint32_t interval, const std::string &path,
                           const std::string &prefix, const std::string &suffix,
                           uint32_t max_entries)
    : tfaTarget(TT_LOG, name, TF_NONE), interval(interval), max_entries(max_entries),
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
    if (entries.size() >= max_entries)
        MakeRoom();
    try {
        entries.emplace_back(action.name, event, *flow);
    } catch (const std::bad_alloc &) {
        td_dprintf("%s: Error adding log entry: %s\n", name.c_str(), strerror(ENOMEM));
        return false;
    }
    return true;
}

// A full list is written at once and starts a new interval. While writes fail it is not tried
// again before the next interval: the oldest entry makes room instead, so memory stays bounded.
void tfaTargetLog::MakeRoom()
{
    if (write_error == 0) {
        Write();
        ReadClock(last_write);
    }
    if (entries.size() < max_entries)
        return;
    if (dropped++ == 0)
        td_printf("%s: %u log entries pending; dropping the oldest until a write succeeds\n",
                  name.c_str(), max_entries);
    entries.erase(entries.begin());
}

void tfaTargetLog::ReadClock(struct timespec &ts) const
{
    if (clocks.monotonic(&ts) != 0)
        throw tdException("%s: %s: %s", name.c_str(), "clock_gettime", strerror(errno));
}

// The entries stay in the list until their file is in place, so a write that fails (a full
// disk, a read-only remount, a removed directory) loses nothing: the next interval's file takes
// them. The fault is reported once per cause, and its end once.
void tfaTargetLog::Write()
{
    td_dprintf("%s: writing %u flow log entries...\n", name.c_str(),
               static_cast<unsigned>(entries.size()));
    int error = WriteFile();
    if (error != 0) {
        if (error != write_error)
            td_printf("%s: Error writing log file: %s; %u entries kept for the next write\n",
                      name.c_str(), strerror(error), static_cast<unsigned>(entries.size()));
        write_error = error;
        return;
    }
    if (write_error != 0 || dropped != 0)
        td_printf("%s: log file written again; %lu older entries were dropped meanwhile\n",
                  name.c_str(), static_cast<unsigned long>(dropped));
    write_error = 0;
    dropped = 0;
    entries.clear();
}

int tfaTargetLog::WriteFile()
{
    std::vector<json> array;
    array.reserve(entries.size());
    for (const auto &entry : entries)
        entry.Append(array);

    FILE *file = log_dir.Open();
    if (file == nullptr)
        return errno;
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
    if (!log_dir.Close() || !written)
        return written ? errno : error;
    time_start = time_end;
    return 0;
}
