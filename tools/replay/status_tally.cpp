#include "tools/replay/status_tally.hpp"

namespace
{
constexpr const char *FLOWS = "flows";
constexpr const char *FLOWS_PRIV = "flows_priv";

uint64_t Counter(const json &report, const char *key)
{
    auto it = report.find(key);
    return it != report.end() && it->is_number_unsigned() ? it->get<uint64_t>() : 0;
}
} // namespace

json tfaStatusTally::Poll()
{
    std::lock_guard<std::mutex> guard(lock);
    json report = json::object();
    plugin.GetStatus(report);
    flows += Counter(report, FLOWS);
    flows_priv += Counter(report, FLOWS_PRIV);
    status = report;
    status[FLOWS] = flows;
    status[FLOWS_PRIV] = flows_priv;
    return status;
}

uint64_t tfaStatusTally::GetFlows() const
{
    std::lock_guard<std::mutex> guard(lock);
    return flows;
}
