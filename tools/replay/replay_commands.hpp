#pragma once

#include "tools/replay/capture_source.hpp"
#include "tools/replay/event_reader.hpp"
#include "tools/replay/replay_host.hpp"

#include <cstdint>
#include <string>
#include <vector>

// The jobs of tfa-replay, each returning the program's exit status: 0 done, 1 failed (the
// reason was written to standard error).
class tfaReplayCommands
{
public:
    static constexpr const char *DEFAULT_TAG = "flow-actions";

    // What the host sets up for every job that runs the plug-in.
    struct HostOptions {
        std::string plugin; // the library to load
        std::string config;
        std::string applications;
        std::string tag = DEFAULT_TAG;
        std::vector<std::string> variables;  // NAME=VALUE
        std::vector<std::string> pf_devices; // none given: "/dev/pf"
        bool nft_in_netns = false;            // Linux: a fresh network namespace
        std::string netns;                    // Linux: a named network namespace
    };

    struct RunOptions : HostOptions {
        std::string flows;              // a path, or "-" for standard input
        std::vector<std::string> sinks; // NAME=PATH
        std::string summary_json;
        bool debug = false;
        size_t line_limit = tfaEventReader::DEFAULT_LINE_LIMIT;
        tfaReplayHost::Options replay;
    };

    // `flows` is not used: the events come from the captures.
    struct PcapOptions : RunOptions {
        tfaCaptureSource::Options capture;
        std::string write_flows; // also write the derived events here, as a replay file
    };

    struct GenerateOptions {
        size_t count = DEFAULT_COUNT;
        uint64_t seed = DEFAULT_SEED;
    };
    static constexpr size_t DEFAULT_COUNT = 300;
    static constexpr uint64_t DEFAULT_SEED = 1;

    // Loads the plug-in library through the ABI check, loads the configuration once on the side
    // (and stops there when either fails), then replays the flows and reports what came of
    // them.
    static int Run(const RunOptions &options);
    // As Run, with the flow events of packet captures classified by nDPI; also fails when a
    // capture was cut short by a fault (the results of what was read are still reported).
    static int Pcap(const PcapOptions &options);
    // Loads the plug-in library through the ABI check, loads the configuration with debug
    // output on and reports whether it loaded.
    static int Check(const HostOptions &options);
    // Writes synthetic flow events to standard output.
    static int Generate(const GenerateOptions &options);

    // The plug-in library in the folder of the running program.
    static std::string DefaultPlugin(const char *argv0);
};
