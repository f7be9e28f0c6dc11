#include "tools/replay/replay_host.hpp"

#include "agent/thread_watch.hpp"
#include "host/flow.hpp"
#include "host/log.hpp"

#include <algorithm>
#include <deque>
#include <thread>

namespace
{
constexpr const char *FLOWS_QUEUED = "flows_queued";
constexpr size_t HANDOFF_BATCH = 64;
// The worker's passes that take its thread lock after the host's last append: the first takes
// the batch, the second finds the queue empty once that batch is done.
constexpr uint64_t IDLE_PASSES = 2;
constexpr std::chrono::milliseconds FIRST_PAUSE{1};

uint64_t Counter(const json &status, const char *key)
{
    auto it = status.find(key);
    return it != status.end() && it->is_number_unsigned() ? it->get<uint64_t>() : 0;
}
} // namespace

// One host thread with the events waiting for it.
struct tfaReplayHost::Lane {
    std::mutex lock;
    std::condition_variable cond;
    std::deque<tfaReplayEvent> events;
    // Events the reading thread has gathered for this lane and not handed over yet.
    std::vector<tfaReplayEvent> ready;
    bool stop = false;
    // Waking a thread that is busy anyway costs a system call per event; only a sleeper is woken.
    bool sleeping = false;
    std::thread thread;
};

tfaReplayHost::tfaReplayHost(tdPluginProcessor &plugin, const Options &options)
    : plugin(plugin), options(options), tally(plugin)
{
    this->options.threads = std::max(1u, options.threads);
    for (unsigned i = 0; i < this->options.threads; i++) {
        lanes.push_back(std::make_unique<Lane>());
        Lane &lane = *lanes.back();
        lane.thread = std::thread([this, &lane]() { RunLane(lane); });
    }
}

tfaReplayHost::~tfaReplayHost()
{
    for (auto &lane : lanes) {
        {
            std::lock_guard<std::mutex> guard(lane->lock);
            lane->stop = true;
        }
        lane->cond.notify_one();
        lane->thread.join();
    }
}

bool tfaReplayHost::IsQueued(tdPluginProcessor::Event event)
{
    switch (event) {
    case tdPluginProcessor::EVENT_FLOW_EXPIRED:
    case tdPluginProcessor::EVENT_FLOW_INTEL:
    case tdPluginProcessor::EVENT_DPI_NEW:
    case tdPluginProcessor::EVENT_DPI_COMPLETE:
        return true;
    default:
        return false;
    }
}

void tfaReplayHost::Replay(tfaEventSource &source)
{
    start = last_update = Clock::now();
    tfaReplayEvent event;
    while (source.Next(event)) {
        if (options.update_interval > 0 &&
            Clock::now() - last_update >= std::chrono::duration<double>(options.update_interval)) {
            WaitForLanes();
            Update();
        }
        switch (event.kind) {
        case tfaReplayEvent::FLOW:
            Pace();
            Enqueue(std::move(event));
            Throttle();
            break;
        case tfaReplayEvent::UPDATE:
            WaitUntilTaken();
            Update();
            break;
        case tfaReplayEvent::RELOAD:
            WaitUntilTaken();
            Reload();
            break;
        }
    }
    WaitUntilTaken();
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
    WaitUntilIdle();
    Update();
    WaitUntilTaken();
    WaitUntilIdle();
    if (drained)
        Linger();
}

void tfaReplayHost::Linger()
{
    auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(options.linger));
    auto interval = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(options.update_interval));
    while (options.update_interval > 0 && last_update + interval < end) {
        std::this_thread::sleep_until(last_update + interval);
        Update();
    }
    std::this_thread::sleep_until(end);
}

void tfaReplayHost::Pace()
{
    if (options.rate <= 0)
        return;
    std::this_thread::sleep_until(
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                    static_cast<double>(events_read) / options.rate)));
}

void tfaReplayHost::Enqueue(tfaReplayEvent &&event)
{
    events_read++;
    if (IsQueued(event.event))
        expected++;
    Lane &lane = *lanes[event.digest % lanes.size()];
    lane.ready.push_back(std::move(event));
    // Batches spare the threads a wake-up for every event; paced events and events from a
    // stream that may pause go out one by one, so none waits for the next line.
    if (options.rate > 0 || !options.batch || lane.ready.size() >= HANDOFF_BATCH)
        HandOff(lane);
}

// A file is read faster than the plug-in processes it; without a bound, every event read ahead
// would wait in memory, so a run's size would follow the file's length rather than its live
// flows. The reader waits while more than READ_AHEAD events are queued and not yet taken.
void tfaReplayHost::Throttle()
{
    if (events_read % READ_AHEAD_CHECK != 0 || Backlog() <= READ_AHEAD)
        return;
    tally.Poll();
    if (Backlog() <= READ_AHEAD)
        return;
    for (auto &lane : lanes)
        HandOff(*lane);
    // Polled at the shortest pause, so that the worker's queue never runs dry meanwhile.
    WaitForWorker([this](const json &) { return Backlog() <= READ_AHEAD / 2; }, FIRST_PAUSE);
}

uint64_t tfaReplayHost::Backlog() const
{
    return expected - std::min(expected, tally.GetFlows());
}

void tfaReplayHost::HandOff(Lane &lane)
{
    if (lane.ready.empty())
        return;
    {
        std::lock_guard<std::mutex> guard(idle_lock);
        in_flight += lane.ready.size();
    }
    bool wake;
    {
        std::lock_guard<std::mutex> guard(lane.lock);
        for (auto &event : lane.ready)
            lane.events.push_back(std::move(event));
        wake = lane.sleeping;
    }
    lane.ready.clear();
    if (wake)
        lane.cond.notify_one();
}

void tfaReplayHost::RunLane(Lane &lane)
{
    for (;;) {
        std::deque<tfaReplayEvent> batch;
        {
            std::unique_lock<std::mutex> guard(lane.lock);
            lane.sleeping = true;
            lane.cond.wait(guard, [&lane]() { return lane.stop || !lane.events.empty(); });
            lane.sleeping = false;
            if (lane.events.empty())
                return;
            batch.swap(lane.events);
        }
        for (auto &event : batch)
            Deliver(event);
        std::lock_guard<std::mutex> guard(idle_lock);
        in_flight -= batch.size();
        if (in_flight == 0)
            idle_cond.notify_all();
    }
}

void tfaReplayHost::Deliver(tfaReplayEvent &event)
{
    auto previous = flow_map.Find(event.digest);
    if (previous && previous->detection_complete)
        event.flow->detection_complete = true;
    flow_map.Insert(event.digest, event.flow);
    try {
        if (event.event == tdPluginProcessor::EVENT_FLOW_INTEL)
            plugin.DispatchProcessorEvent(event.event, event.flow, event.intel);
        else
            plugin.DispatchProcessorEvent(event.event, event.flow);
    } catch (const std::exception &e) {
        td_printf("replay: line %zu: %s\n", event.line, e.what());
    }
    if (event.event == tdPluginProcessor::EVENT_FLOW_EXPIRED)
        flow_map.Erase(event.digest);
}

void tfaReplayHost::WaitForLanes()
{
    for (auto &lane : lanes)
        HandOff(*lane);
    std::unique_lock<std::mutex> guard(idle_lock);
    idle_cond.wait(guard, [this]() { return in_flight == 0; });
}

bool tfaReplayHost::WaitForWorker(const std::function<bool(const json &)> &done,
                                  std::chrono::milliseconds longest_pause)
{
    auto pause = FIRST_PAUSE;
    auto last_change = Clock::now();
    uint64_t last_flows = tally.GetFlows();
    while (drained) {
        if (done(tally.Poll()))
            return true;
        if (options.worker_stopped && options.worker_stopped()) {
            td_printf("replay: the plug-in's worker has stopped; %llu of %llu events were not "
                      "taken\n",
                      static_cast<unsigned long long>(expected - std::min(expected, last_flows)),
                      static_cast<unsigned long long>(expected));
            drained = false;
            break;
        }
        uint64_t flows = tally.GetFlows();
        if (flows != last_flows) {
            last_flows = flows;
            last_change = Clock::now();
        } else if (Clock::now() - last_change >= STALL_TIMEOUT) {
            td_printf("replay: the plug-in took no events for %lld seconds; going on with %llu "
                      "of %llu taken\n",
                      static_cast<long long>(STALL_TIMEOUT.count()),
                      static_cast<unsigned long long>(flows),
                      static_cast<unsigned long long>(expected));
            drained = false;
            break;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, longest_pause);
    }
    return false;
}

void tfaReplayHost::WaitUntilTaken()
{
    WaitForLanes();
    WaitForWorker([this](const json &) { return tally.GetFlows() >= expected; });
}

void tfaReplayHost::WaitUntilIdle()
{
    WaitForWorker([this](const json &) { return tdThreadWatch::OwnLocks(plugin) >= IDLE_PASSES; });
}

void tfaReplayHost::Update()
{
    // The plug-in re-queues the flows it finds classified when the map event follows a reload.
    if (reprocess_pending) {
        expected += CountReprocessable();
        reprocess_pending = false;
    }
    plugin.DispatchProcessorEvent(tdPluginProcessor::EVENT_FLOW_MAP, &flow_map);
    plugin.DispatchProcessorEvent(tdPluginProcessor::EVENT_UPDATE);
    last_update = Clock::now();
}

void tfaReplayHost::Reload()
{
    // Dropping a configuration zeroes the batch size the status reports; a non-zero size before
    // the request therefore shows when the worker has begun the reload.
    bool visible = Counter(tally.Poll(), FLOWS_QUEUED) != 0;
    plugin.DispatchEvent(tdPlugin::EVENT_RELOAD);
    reprocess_pending = options.reprocess_flows;
    if (visible)
        WaitForWorker([](const json &status) { return Counter(status, FLOWS_QUEUED) == 0; });
}

uint64_t tfaReplayHost::CountReprocessable()
{
    uint64_t count = 0;
    for (size_t index = 0; index < flow_map.GetBuckets(); index++) {
        for (const auto &entry : flow_map.Acquire(index))
            if (entry.second->detection_complete && !entry.second->reprocess_exclude)
                count++;
        flow_map.Release(index);
    }
    return count;
}
