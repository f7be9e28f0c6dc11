#pragma once

#include "host/json.hpp"
#include "agent/sink_output.hpp"

#include <cstdio>

// What a replay leaves behind, for people and for programs:
//
//   {"status": {the plug-in's status members, flow counters summed over the run},
//    "matches": {"ACTION": {"log_entries": N, "sink_payloads": N}} (tfaMatchTally),
//    "pf_tables": {"ANCHOR/TABLE" or "TABLE" (main ruleset): [addresses]},
//    "nft_sets": {"FAMILY TABLE SET": [addresses]} (only when the run entered a network
//                namespace for nftset targets, see tfaReplayNetns),
//    "log_files": [paths of the log files written, oldest first],
//    "sinks": {"NAME": payloads handed to that sink, with or without an output},
//    "lost_records": {"NAME": records its output failed to write, for outputs that lost any},
//    "skipped_lines": malformed lines of the replay file}
//
// pf tables come from the pf model; on a system with pf the member is an empty object.
class tfaReplayReport
{
public:
    static json Gather(const json &status, const json &matches, const tdSinkOutput::Registry &sinks,
                       size_t skipped_lines);

    // Records lost by every sink output of `summary`.
    static uint64_t GetLostRecords(const json &summary);

    // Prints the summary's matches, pf tables, log files, sinks (with where their payloads went)
    // and skipped lines; the status lines are the plug-in's to print.
    static void Print(FILE *out, const json &summary, const tdSinkOutput::Registry &sinks);
};
