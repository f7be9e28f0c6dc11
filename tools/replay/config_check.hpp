#pragma once

#include <string>
#include <vector>

// Validates a configuration as a reload would, then loads it the way the plug-in's worker would,
// but where the caller sees the outcome: the plug-in is built through its entry (the copy of the plug-in linked into this
// program, since the loaded library exports nothing but its entry and ABI record), its public
// Validate() and Reload() run on a thread of its own, and the load's exception is caught and kept. The worker
// is never started. The plug-in writes its messages through the host's logging as it loads.
//
// Loading touches what loading touches: pf tables of managed targets are created and emptied,
// and destroying the plug-in afterwards empties the tables of targets so configured.
class tfaConfigCheck
{
public:
    // True when the configuration validated and loaded; otherwise `message` holds the plug-in's
    // text. `faults` receives what the load reported without refusing the file (unknown names,
    // expressions that do not compile), when given.
    static bool Load(const std::string &tag, const std::string &config, std::string &message,
                     std::vector<std::string> *faults = nullptr);
};
