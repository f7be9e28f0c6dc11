#pragma once

#include "host/log_directory.hpp"
#include "targets/log_entry.hpp"
#include "targets/target.hpp"

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

// Records the flow events of its actions and, once per interval, writes everything recorded since
// the last write as one JSON document into a new file of its log directory:
//
//   {"entries":[{...},...],"time_end":<seconds>,"time_start":<seconds>}\n
//
// "time_start" of a file is the "time_end" of the previous file (or the target's creation), so
// consecutive files cover time without gaps even across intervals that wrote nothing. Entries
// still recorded when the target is destroyed are written then, in one last file.
class tfaTargetLog : public tfaTarget
{
public:
    // The clocks the target reads; tests substitute their own. `monotonic` returns 0 or -1 with
    // errno set, like clock_gettime().
    struct Clocks {
        int (*monotonic)(struct timespec *ts);
        time_t (*wall)();
    };
    static Clocks clocks;

    // Reads "interval" (unsigned, default 60 seconds), "path" (default "/tmp"), "prefix" (default
    // "tarvix-proc-flow-actions") and "suffix" (default ".json"), each first from `type_config`
    // (null or an object) and then from `target_config`. Throws tdException "<name>: invalid
    // <unsigned|string> parameter type: <key>" for a value of the wrong type; an interval must
    // be a number or boolean that fits in 32 unsigned bits (a fraction is dropped).
    static std::unique_ptr<tfaTargetLog> Create(const std::string &name, const json &target_config,
                                const json &type_config);

    // Files are named <prefix>-<UTC time>-<sequence><suffix> in `path`. Throws tdException
    // "<name>: clock_gettime: <error>" when the monotonic clock cannot be read.
    tfaTargetLog(const std::string &name, uint32_t interval, const std::string &path,
                 const std::string &prefix, const std::string &suffix);
    ~tfaTargetLog() override;

    // Writes the recorded entries once at least `interval` whole seconds of the monotonic clock
    // have passed since the last time the interval ran out; an interval with nothing recorded
    // writes no file. A file that cannot be created or written drops its entries (debug line).
    // Throws tdException when the monotonic clock cannot be read.
    void Tick() override;

    // Records the event; every event kind is recorded. False (debug line) only when memory ran
    // out and the entry was dropped.
    bool ProcessFlow(const tfaAction &action, tdPluginProcessor::Event event,
                     std::shared_ptr<tdFlow> &flow) override;

private:
    void ReadClock(struct timespec &ts) const;
    void Write();

    int64_t interval;
    tdLogDirectory log_dir;
    struct timespec last_write {
    };
    struct timespec now {
    };
    time_t time_start;
    std::vector<tfaTargetLogEntry> entries;
};
