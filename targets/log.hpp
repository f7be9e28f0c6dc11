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
    // "tarvix-proc-flow-actions"), "suffix" (default ".json") and "max_entries" (default 100000),
    // each first from `type_config` (null or an object) and then from `target_config`. Throws
    // tdException "<name>: invalid <unsigned|string> parameter type: <key>" for a value of the
    // wrong type; an interval must be a number or boolean that fits in 32 unsigned bits (a
    // fraction is dropped). Refuses a NUL byte in any of the three names, a "/" in the prefix or
    // suffix, and "max_entries" 0.
    static std::unique_ptr<tfaTargetLog> Create(const std::string &name, const json &target_config,
                                const json &type_config);

    // Files are named <prefix>-<UTC time>-<sequence><suffix> in `path`. Throws tdException
    // "<name>: clock_gettime: <error>" when the monotonic clock cannot be read.
    tfaTargetLog(const std::string &name, uint32_t interval, const std::string &path,
                 const std::string &prefix, const std::string &suffix, uint32_t max_entries);
    ~tfaTargetLog() override;

    // Writes the recorded entries once at least `interval` whole seconds of the monotonic clock
    // have passed since the last time the interval ran out; an interval with nothing recorded
    // writes no file. Entries of a file that cannot be created or written are kept for the next
    // write. Throws tdException when the monotonic clock cannot be read.
    void Tick() override;

    // Records the event; every event kind is recorded. With "max_entries" pending it writes them
    // first and starts a new interval; while writes fail it drops the oldest instead. False
    // (debug line) only when memory ran out and the entry was dropped.
    bool ProcessFlow(const tfaAction &action, tdPluginProcessor::Event event,
                     std::shared_ptr<tdFlow> &flow) override;

private:
    void ReadClock(struct timespec &ts) const;
    void Write();
    // Writes every pending entry into one new file; 0, or the error that stopped it.
    int WriteFile();
    void MakeRoom();

    int64_t interval;
    uint32_t max_entries;
    // The cause of the failing writes, 0 while they succeed.
    int write_error = 0;
    // Entries dropped since writes began to fail.
    uint64_t dropped = 0;
    tdLogDirectory log_dir;
    struct timespec last_write {
    };
    struct timespec now {
    };
    time_t time_start;
    std::vector<tfaTargetLogEntry> entries;
};
