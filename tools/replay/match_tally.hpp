#pragma once

#include "host/json.hpp"
#include "agent/sink_output.hpp"

#include <map>
#include <mutex>
#include <string>
#include <vector>

// Which actions matched, told from what their targets left behind: every sink payload names its
// action under "flow_action", and so does every entry of a log file. pf tables keep addresses
// only, so matches that reached nothing but pf tables are not seen here.
class tfaMatchTally
{
public:
    tfaMatchTally() = default;
    // Uninstalls the sink handler again.
    ~tfaMatchTally();

    tfaMatchTally(const tfaMatchTally &) = delete;
    tfaMatchTally &operator=(const tfaMatchTally &) = delete;

    // Becomes the receiver of sink payloads, counting each and passing it on to `sinks`, which
    // must outlive this object.
    void Install(tdSinkOutput::Registry &sinks);

    // Counts the entries of written log files. A file that cannot be read is reported through
    // td_printf and passed over.
    void CountLogFiles(const std::vector<std::string> &paths);

    // {"ACTION": {"log_entries": N, "sink_payloads": N}}, for every action seen.
    json Get() const;

private:
    struct Counts {
        uint64_t log_entries = 0;
        uint64_t sink_payloads = 0;
    };

    mutable std::mutex lock;
    std::map<std::string, Counts> actions;
};
