#include "tools/replay/replay_report.hpp"

#include "host/log_directory.hpp"
#include "tools/replay/netns.hpp"

#ifndef __FreeBSD__
#include "sim/pf/pfsim.hpp"
#endif

namespace
{
json PfTables()
{
    json tables = json::object();
#ifndef __FreeBSD__
    for (const auto &table : pfsim::ListTables()) {
        json addresses = json::array();
        for (const auto &address : table.addresses)
            addresses.push_back(address.address);
        tables[table.anchor.empty() ? table.name : table.anchor + "/" + table.name] = addresses;
    }
#endif
    return tables;
}

json SinkCounts(const tdSinkOutput::Registry &sinks)
{
    json counts = json::object();
    for (const auto &output : sinks.GetOutputs())
        counts[output->GetSink()] = output->GetPayloads();
    for (const auto &unknown : sinks.GetUnknown())
        counts[unknown.first] = unknown.second;
    return counts;
}

json LostRecords(const tdSinkOutput::Registry &sinks)
{
    json lost = json::object();
    for (const auto &output : sinks.GetOutputs())
        if (output->GetFailures() > 0)
            lost[output->GetSink()] = output->GetFailures();
    return lost;
}

std::string Where(const tdSinkOutput::Registry &sinks, const std::string &name)
{
    auto output = sinks.Find(name);
    if (!output)
        return "no output";
    return output->GetPath() == tdSinkOutput::STDOUT_PATH ? "standard output" : output->GetPath();
}
} // namespace

uint64_t tfaReplayReport::GetLostRecords(const json &summary)
{
    uint64_t lost = 0;
    for (const auto &count : summary["lost_records"])
        lost += count.get<uint64_t>();
    return lost;
}

json tfaReplayReport::Gather(const json &status, const json &matches,
                             const tdSinkOutput::Registry &sinks, size_t skipped_lines)
{
    json summary = {
        {"status", status},           {"matches", matches},
        {"pf_tables", PfTables()},    {"log_files", tdLogDirectory::GetClosedFiles()},
        {"sinks", SinkCounts(sinks)}, {"lost_records", LostRecords(sinks)},
        {"skipped_lines", skipped_lines},
    };
    if (tfaReplayNetns::Entered())
        summary["nft_sets"] = tfaReplayNetns::Sets();
    return summary;
}

void tfaReplayReport::Print(FILE *out, const json &summary, const tdSinkOutput::Registry &sinks)
{
    fprintf(out, "matched actions, as their log and sink targets recorded them: %zu\n",
            summary["matches"].size());
    for (const auto &action : summary["matches"].items())
        fprintf(out, "  %s: %llu log entries, %llu sink payloads\n", action.key().c_str(),
                static_cast<unsigned long long>(action.value()["log_entries"].get<uint64_t>()),
                static_cast<unsigned long long>(action.value()["sink_payloads"].get<uint64_t>()));
    fprintf(out, "pf tables: %zu\n", summary["pf_tables"].size());
    for (const auto &table : summary["pf_tables"].items()) {
        std::string addresses;
        for (const auto &address : table.value())
            addresses += (addresses.empty() ? "" : " ") + address.get<std::string>();
        fprintf(out, "  %s: %s\n", table.key().c_str(),
                addresses.empty() ? "(empty)" : addresses.c_str());
    }
    if (summary.contains("nft_sets")) {
        fprintf(out, "nft sets: %zu\n", summary["nft_sets"].size());
        for (const auto &set : summary["nft_sets"].items()) {
            std::string addresses;
            for (const auto &address : set.value())
                addresses += (addresses.empty() ? "" : " ") + address.get<std::string>();
            fprintf(out, "  %s: %s\n", set.key().c_str(),
                    addresses.empty() ? "(empty)" : addresses.c_str());
        }
    }
    fprintf(out, "log files: %zu\n", summary["log_files"].size());
    for (const auto &path : summary["log_files"])
        fprintf(out, "  %s\n", path.get<std::string>().c_str());
    fprintf(out, "sinks: %zu\n", summary["sinks"].size());
    for (const auto &sink : summary["sinks"].items())
        fprintf(out, "  %s: %llu payloads, %s\n", sink.key().c_str(),
                static_cast<unsigned long long>(sink.value().get<uint64_t>()),
                Where(sinks, sink.key()).c_str());
    for (const auto &lost : summary["lost_records"].items())
        fprintf(out, "  %s: %llu records lost: its output failed to write them\n",
                lost.key().c_str(), static_cast<unsigned long long>(lost.value().get<uint64_t>()));
    fprintf(out, "skipped lines: %llu\n",
            static_cast<unsigned long long>(summary["skipped_lines"].get<uint64_t>()));
    fflush(out);
}
