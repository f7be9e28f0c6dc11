#include "host/exception.hpp"
#include "host/flow.hpp"
#include "host/flow_map.hpp"
#include "host/log.hpp"
#include "plugin/plugin.hpp"
#include "rules/action.hpp"
#include "rules/exception_text.hpp"
#include "rules/exemption.hpp"

#include <mutex>

namespace
{
// Holds one bucket of the host's flow map for one scope.
class BucketLock
{
public:
    BucketLock(tdFlowMap &map, size_t index) : map(map), index(index), flows(map.Acquire(index)) {}
    ~BucketLock() { map.Release(index); }
    BucketLock(const BucketLock &) = delete;
    BucketLock &operator=(const BucketLock &) = delete;

    const tdFlowMap::Bucket &Flows() const { return flows; }

private:
    tdFlowMap &map;
    size_t index;
    tdFlowMap::Bucket &flows;
};

// Writes a fault that the worker survives. tdException texts already begin with their owner's
// name; other texts get the plug-in's tag.
template <class Body> void Survive(const std::string &tag, Body body)
{
    try {
        body();
    } catch (const tdException &e) {
        td_printf("%s\n", e.what());
    } catch (...) {
        td_printf("%s: %s\n", tag.c_str(), tfaExceptionText().c_str());
    }
}
} // namespace

void tfaPlugin::DispatchProcessorEvent(tdPluginProcessor::Event event, tdFlowMap *flow_map)
{
    if (event != EVENT_FLOW_MAP || flow_map == nullptr || !reprocess_pending.exchange(false))
        return;

    for (size_t index = 0; index < flow_map->GetBuckets(); index++) {
        BucketLock bucket(*flow_map, index);
        for (const auto &entry : bucket.Flows()) {
            const std::shared_ptr<tdFlow> &flow = entry.second;
            if (flow->detection_complete && !flow->reprocess_exclude)
                PushEntry({EVENT_DPI_COMPLETE, flow, {}});
        }
    }
    queue_cond.notify_all();
}

void tfaPlugin::DispatchProcessorEvent(tdPluginProcessor::Event event,
                                       std::shared_ptr<tdFlow> &flow)
{
    switch (event) {
    case EVENT_FLOW_EXPIRED:
    case EVENT_DPI_NEW:
    case EVENT_DPI_COMPLETE:
        QueueFlow(event, flow, {});
        break;
    default:
        break;
    }
}

void tfaPlugin::DispatchProcessorEvent(tdPluginProcessor::Event event,
                                       std::shared_ptr<tdFlow> &flow, json &data)
{
    if (event == EVENT_FLOW_INTEL)
        QueueFlow(event, flow, {{"intel", data}});
}

void tfaPlugin::DispatchProcessorEvent(tdPluginProcessor::Event event)
{
    if (event != EVENT_UPDATE)
        return;
    update_pending = true;
    Wake();
}

void tfaPlugin::QueueFlow(tdPluginProcessor::Event event, std::shared_ptr<tdFlow> &flow,
                          tdFlowParams &&params)
{
    // A missing record would only fail later, on the worker, far from its cause.
    if (!flow)
        return;
    if (PushEntry({event, flow, std::move(params)}))
        queue_cond.notify_all();
}

bool tfaPlugin::PushEntry(tfaFlowEntry &&entry)
{
    std::lock_guard<QueueLock> guard(queue_lock);
    if (flow_queue.size() >= queue_limit) {
        stats.flows_dropped++;
        drops_unreported++;
        return false;
    }
    flow_queue.push_back(std::move(entry));
    return worker_waiting;
}

void tfaPlugin::ReportDrops()
{
    uint64_t dropped = drops_unreported.exchange(0);
    if (dropped == 0)
        return;
    size_t limit = queue_limit;
    td_printf("%s: queue full: dropped %lu flow event(s) since the last update (queue_limit %lu)\n",
              tag.c_str(), static_cast<unsigned long>(dropped), static_cast<unsigned long>(limit));
}

void tfaPlugin::Terminate()
{
    tdPluginProcessor::Terminate();
    Wake();
}

void *tfaPlugin::Entry()
{
    td_printf("%s: %s v%s\n", tag.c_str(), NAME, VERSION);

    std::string kinds;
    for (const auto &kind : target_kinds)
        kinds += (kinds.empty() ? "" : ", ") + kind.first;
    td_printf("%s: Flow action targets: %s\n", tag.c_str(), kinds.empty() ? "none" : kinds.c_str());

    while (!ShouldTerminate()) {
        if (reload_pending)
            ApplyReload();
        TickTargets();
        if (update_pending.exchange(false)) {
            ReportDrops();
            UpdateTargets();
        }
        if (!ProcessQueue())
            WaitForEvents();
        RefreshNow();
    }
    return nullptr;
}

void tfaPlugin::ApplyReload()
{
    td_dprintf("%s: Reloading configuration...\n", tag.c_str());
    // Cleared first, so a request that arrives during the load is served by another pass.
    reload_pending = false;
    Survive(tag, [this]() { Reload(); });
}

void tfaPlugin::TickTargets()
{
    for (auto &target : targets)
        Survive(tag, [&target]() { target.second->Tick(); });
}

void tfaPlugin::UpdateTargets()
{
    for (auto &target : targets)
        Survive(tag, [&target]() { target.second->Update(); });
}

void tfaPlugin::TakeQueue(std::vector<tfaFlowEntry> &batch)
{
    uint64_t count = flow_queue.size();
    stats.flows += count;
    batch.swap(flow_queue);
    stats.flows_priv += count;
    stats.flows_queued = count;
}

// What a wait took is processed before the lock is taken again, so the worker's next lock
// always follows a finished batch. The two vectors trade places and keep their capacity, so a
// steady stream of events allocates nothing, on either side of the lock.
bool tfaPlugin::ProcessQueue()
{
    if (taken.empty()) {
        std::lock_guard<QueueLock> guard(queue_lock);
        TakeQueue(taken);
    }
    if (taken.empty())
        return false;

    for (size_t i = 0; i < taken.size(); i++) {
        if (i + 1 < taken.size())
            Prefetch(*taken[i + 1].flow);
        Survive(tag, [this, &entry = taken[i]]() { ProcessEntry(entry); });
    }
    taken.clear();
    return true;
}

// A batch's records were last touched by host threads, so each is a trip to memory: the next one
// is fetched while the worker is busy with this one. Only the members every event reads.
void tfaPlugin::Prefetch(const tdFlow &flow)
{
    __builtin_prefetch(&flow.lock);
    __builtin_prefetch(&flow.lower_map);
    __builtin_prefetch(&flow.lower_addr);
    __builtin_prefetch(&flow.upper_addr);
    __builtin_prefetch(&flow.iface_name);
    __builtin_prefetch(&flow.detected_protocol);
    __builtin_prefetch(&flow.host_server_name);
}

// The flow's lock is taken once for the whole event: every action and target under it takes it
// again without waiting, the lock being recursive.
void tfaPlugin::ProcessEntry(tfaFlowEntry &entry)
{
    std::lock_guard<std::recursive_mutex> guard(entry.flow->lock);
    for (const auto &exemption : exemptions) {
        if (exemption->IsExempt(entry.flow))
            return;
    }
    auto event = static_cast<tdPluginProcessor::Event>(entry.event);
    for (const auto &action : actions) {
        if (action.second->ProcessFlow(event, entry.flow, entry.params) == tfaAction::AR_HALT)
            break;
    }
}

void tfaPlugin::WaitForEvents()
{
    std::unique_lock<QueueLock> guard(queue_lock);
    worker_waiting = true;
    queue_cond.wait_for(guard, idle_wait, [this]() {
        return !flow_queue.empty() || ShouldTerminate() || reload_pending || update_pending;
    });
    worker_waiting = false;
    TakeQueue(taken);
}

// The flag was set before the lock is taken: a worker between its predicate and its sleep holds
// the lock, so the notification cannot fall into that gap.
void tfaPlugin::Wake()
{
    { std::lock_guard<QueueLock> guard(queue_lock); }
    queue_cond.notify_all();
}

// Runs on every pass, busy or idle, so time windows open and close on time under load; the zone
// itself is applied again only once per update interval.
void tfaPlugin::RefreshNow()
{
    try {
        now = time_of_day.TickUpdate();
    } catch (const std::exception &e) {
        td_printf("%s: error setting timezone: %s\n", tag.c_str(), e.what());
    }
}
