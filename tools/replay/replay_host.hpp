#pragma once

#include "host/flow_map.hpp"
#include "host/json.hpp"
#include "host/plugin.hpp"
#include "tools/replay/event_source.hpp"
#include "tools/replay/status_tally.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

// Replays the events of a replay file into a running plug-in, as the host agent would deliver
// them.
//
// Flow events are handed to the plug-in from `threads` host threads; all events of one flow go
// through the same thread, in file order. Every flow is held in the host's flow map: each event
// puts its record there (a flow keeps "detection complete" once an event set it), and a
// "flow_purge" event removes it after delivery. A host update delivers the flow-map event and
// then the update event: every `update_interval` seconds, at each {"type": "update"} line, and
// once at the end.
//
// Control lines wait until the worker has taken every event of the lines before them, so a
// replay does not depend on thread timing: an update or a reload applies on the worker's next
// pass, after the batch holding those events. A reload line also waits, when it can tell, until
// the worker has dropped the old configuration, so later lines meet the new one. The replay host
// knows what the worker has taken from the status counters alone; it counts the events the
// plug-in's intake accepts (dpi_new, dpi_complete, flow_expired, flow_intel) and, after a reload
// with "reprocess_flows" on, the classified flows the next flow-map event queues again.
//
// Taken is not yet processed. The end of a run also waits until the worker is idle, which the
// stand-in agent shows through the thread lock (tdThreadWatch): the worker takes that lock once a
// pass, to take the whole queue, and host threads take it only to append to the queue. The
// second time the worker takes it after the host last did, it found the queue empty, and the
// batch holding the last event had been processed and the targets ticked after it; a log target
// whose interval has run out has written it then. An update applies on the worker's next pass,
// which the lock does not show; the updates made while lingering keep coming at
// `update_interval`, as the agent's do.
class tfaReplayHost
{
public:
    struct Options {
        unsigned threads = 1;
        // Events a second at most; 0 replays as fast as the file is read.
        double rate = 0;
        // Seconds between host updates; 0 leaves only the control lines and the last one.
        double update_interval = DEFAULT_UPDATE_INTERVAL;
        // Seconds to wait once the worker has processed the last event and the last update was
        // made, so that interval writers run; host updates go on at `update_interval`.
        double linger = DEFAULT_LINGER;
        // Hand events to the host threads in batches; for input that is read whole, such as a
        // file, not for a stream that may pause between lines.
        bool batch = true;
        // The configuration's "reprocess_flows": a reload makes the next update queue every
        // classified flow again.
        bool reprocess_flows = false;
        // Tells whether the plug-in's worker has ended; waiting stops then.
        std::function<bool()> worker_stopped;
    };

    static constexpr double DEFAULT_UPDATE_INTERVAL = 15;
    static constexpr double DEFAULT_LINGER = 2;
    // A worker that takes no event for this long while events wait is given up on.
    static constexpr std::chrono::seconds STALL_TIMEOUT{30};
    // Events queued for the worker and not taken yet, at most, while a file is read (up to
    // READ_AHEAD_CHECK more between two looks); reading resumes once half have been taken.
    static constexpr uint64_t READ_AHEAD = 4096;
    static constexpr uint64_t READ_AHEAD_CHECK = 1024;
    // The longest pause between two polls of the worker's status.
    static constexpr std::chrono::milliseconds LONGEST_PAUSE{20};

    // Starts the host threads. The plug-in's worker must be running (or be started soon).
    tfaReplayHost(tdPluginProcessor &plugin, const Options &options);
    // Stops the host threads; the flow map and its records go with the object.
    ~tfaReplayHost();

    tfaReplayHost(const tfaReplayHost &) = delete;
    tfaReplayHost &operator=(const tfaReplayHost &) = delete;

    // Replays every event of `source`; then, once the worker has processed everything, delivers
    // the last update, waits for the worker again and lingers. Returns when done.
    void Replay(tfaEventSource &source);

    // The run's status: the plug-in's report with its flow counters summed over the run.
    json PollStatus() { return tally.Poll(); }

    // Flow events read from the file.
    uint64_t GetEventsRead() const { return events_read; }
    // Events the plug-in queues: those the intake accepted plus re-queued classified flows.
    uint64_t GetEventsExpected() const { return expected; }
    // Seconds from the first event until the worker had taken the last one.
    double GetSeconds() const { return seconds; }
    // False when waiting for the worker was given up: it stopped, or stalled.
    bool IsDrained() const { return drained; }
    // Flows held in the host's flow map.
    size_t GetFlowCount() { return flow_map.GetCount(); }

    // Whether the plug-in's intake queues events of this kind.
    static bool IsQueued(tdPluginProcessor::Event event);

private:
    struct Lane;

    void RunLane(Lane &lane);
    void Deliver(tfaReplayEvent &event);
    void Enqueue(tfaReplayEvent &&event);
    void Throttle();
    // Events queued for the worker that it had not taken as of the last status poll.
    uint64_t Backlog() const;
    void HandOff(Lane &lane);
    void Pace();
    void WaitForLanes();
    // Polls the worker's status, pausing longer each time up to `longest_pause`, until `done`.
    bool WaitForWorker(const std::function<bool(const json &)> &done,
                       std::chrono::milliseconds longest_pause = LONGEST_PAUSE);
    void WaitUntilTaken();
    void WaitUntilIdle();
    void Linger();
    void Update();
    void Reload();
    uint64_t CountReprocessable();

    using Clock = std::chrono::steady_clock;

    tdPluginProcessor &plugin;
    Options options;
    tfaStatusTally tally;
    tdFlowMap flow_map;
    std::vector<std::unique_ptr<Lane>> lanes;

    std::mutex idle_lock;
    std::condition_variable idle_cond;
    size_t in_flight = 0;

    Clock::time_point start;
    Clock::time_point last_update;
    std::atomic<uint64_t> events_read{0};
    uint64_t expected = 0;
    double seconds = 0;
    bool reprocess_pending = false;
    bool drained = true;
};
