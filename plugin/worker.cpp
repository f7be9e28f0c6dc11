#include "host/exception.hpp"
#include "host/flow.hpp"
#include "host/flow_map.hpp"
#include "host/log.hpp"
#include "plugin/plugin.hpp"
#include "rules/action.hpp"
#include "rules/exception_text.hpp"
#include "rules/exemption.hpp"

#include <cerrno>
#include <cstring>
#include <ctime>

namespace
{
constexpr time_t IDLE_WAIT_SECONDS = 1;

// Holds the thread lock of a tdThread for one scope.
class ThreadLock
{
public:
    explicit ThreadLock(tdThread &thread) : thread(thread) { thread.Lock(); }
    ~ThreadLock() { thread.Unlock(); }
    ThreadLock(const ThreadLock &) = delete;
    ThreadLock &operator=(const ThreadLock &) = delete;

private:
    tdThread &thread;
};

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

    int rc = 0;
    {
        ThreadLock guard(*this);
        for (size_t index = 0; index < flow_map->GetBuckets(); index++) {
            BucketLock bucket(*flow_map, index);
            for (const auto &entry : bucket.Flows()) {
                const std::shared_ptr<tdFlow> &flow = entry.second;
                if (flow->detection_complete && !flow->reprocess_exclude)
                    flow_queue.push_back({EVENT_DPI_COMPLETE, flow, {}});
            }
        }
        if (!flow_queue.empty())
            rc = pthread_cond_broadcast(&queue_cond);
    }
    if (rc != 0)
        throw tdException("%s: %s: %s", tag.c_str(), "pthread_cond_broadcast", strerror(rc));
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
    if (event == EVENT_UPDATE)
        update_pending = true;
}

void tfaPlugin::QueueFlow(tdPluginProcessor::Event event, std::shared_ptr<tdFlow> &flow,
                          tdFlowParams &&params)
{
    // A missing record would only fail later, on the worker, far from its cause.
    if (!flow)
        return;
    int rc;
    {
        ThreadLock guard(*this);
        flow_queue.push_back({event, flow, std::move(params)});
        rc = pthread_cond_broadcast(&queue_cond);
    }
    if (rc != 0)
        throw tdException("%s: %s: %s", tag.c_str(), "pthread_cond_broadcast", strerror(rc));
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
        if (update_pending.exchange(false))
            UpdateTargets();
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
    Unload();
    Survive(tag, [this]() { LoadConfig(); });
    parser->ClearCache();
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

bool tfaPlugin::ProcessQueue()
{
    std::deque<tfaFlowEntry> batch;
    {
        ThreadLock guard(*this);
        if (flow_queue.empty())
            return false;
        uint64_t count = flow_queue.size();
        stats.flows += count;
        batch.swap(flow_queue);
        stats.flows_priv += count;
        stats.flows_queued = count;
    }

    while (!batch.empty()) {
        tfaFlowEntry entry = std::move(batch.front());
        batch.pop_front();
        Survive(tag, [this, &entry]() { ProcessEntry(entry); });
    }
    return true;
}

void tfaPlugin::ProcessEntry(tfaFlowEntry &entry)
{
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
    int rc = pthread_mutex_lock(&queue_cond_lock);
    if (rc != 0)
        throw tdException("%s: %s: %s", tag.c_str(), "pthread_mutex_lock", strerror(rc));

    struct timespec deadline;
    if (clock_gettime(CLOCK_MONOTONIC, &deadline) != 0) {
        int error = errno;
        pthread_mutex_unlock(&queue_cond_lock);
        throw tdException("%s: %s: %s", tag.c_str(), "clock_gettime", strerror(error));
    }
    deadline.tv_sec += IDLE_WAIT_SECONDS;

    rc = pthread_cond_timedwait(&queue_cond, &queue_cond_lock, &deadline);
    if (rc != 0 && rc != ETIMEDOUT) {
        pthread_mutex_unlock(&queue_cond_lock);
        throw tdException("%s: %s: %s", tag.c_str(), "pthread_cond_timedwait", strerror(rc));
    }

    rc = pthread_mutex_unlock(&queue_cond_lock);
    if (rc != 0)
        throw tdException("%s: %s: %s", tag.c_str(), "pthread_mutex_unlock", strerror(rc));
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
