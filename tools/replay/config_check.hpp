#pragma once

#include "tools/common/plugin_loader.hpp"

#include <string>
#include <vector>

// Loads a configuration through the plug-in library that a run loads, where the caller sees the
// outcome: a plug-in built through the library's entry starts its worker, whose first pass loads
// the configuration, and is stopped and destroyed once that pass is done (the stand-in shows the
// worker taking its thread lock, which it does once a pass after the reload). The load's lines
// are collected instead of written, with debug output on for the length of the load, since the
// load's summary line, a debug line, is what tells a load that finished from one that failed.
//
// Loading touches what loading touches: pf tables of managed targets are created and emptied,
// and destroying the plug-in afterwards empties the tables of targets so configured.
class tfaConfigCheck
{
public:
    struct Line {
        bool debug;
        std::string text;
    };

    struct Outcome {
        bool loaded = false;
        // Faults the load reported without refusing the file (unknown names, expressions that
        // do not compile), as the plug-in's status counts them.
        uint64_t faults = 0;
        // What the plug-in wrote from the start of its load to the end of that pass, in order;
        // when the load failed, its last log line (not debug) is the plug-in's reason.
        std::vector<Line> lines;

        // Writes the lines through the host's logging; debug lines only when `debug`.
        void Write(bool debug) const;
    };

    // A worker that has not finished its first pass by then is given up on.
    static constexpr int LOAD_LIMIT_SECONDS = 30;

    static Outcome Load(tdPluginLoader &loader, const std::string &tag, const std::string &config);
};
