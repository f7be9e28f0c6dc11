#pragma once

#include "host/flow_parser.hpp"
#include "host/json.hpp"
#include "host/plugin.hpp"
#include "host/time_of_day.hpp"
#include "rules/rules_context.hpp"
#include "targets/target.hpp"
#include "targets/target_kinds.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

class tfaAction;
class tfaExemption;
class tfaTargetPFtableConfig;
class tfaTargetNFTsetConfig;

// One queued flow event. The entry shares the host's flow record and keeps it alive while queued.
struct tfaFlowEntry {
    uint16_t event;
    std::shared_ptr<tdFlow> flow;
    tdFlowParams params;
};

// The flow-actions processor plug-in. Host threads deliver events through the intake overloads
// and read status; the plug-in's own worker thread (Entry) loads the configuration and runs every
// queued event through the global exemptions and the actions. The configuration collections are
// touched only by the worker and by construction and destruction.
class tfaPlugin : public tdPluginProcessor, public tfaRulesContext
{
public:
    tfaPlugin(const std::string &tag, const tdPlugin::Params &params);
    virtual ~tfaPlugin();

    void *Entry() override;
    // Sets the stop flag and wakes the worker, so it stops without sleeping out its idle wait.
    void Terminate() override;

    void GetLibrary(std::string &library) override { library = LIBRARY; }
    void GetName(std::string &name) override { name = NAME; }
    void GetVersion(std::string &version) override { version = VERSION; }

    // Writes the ten counters into `status` (other members are left alone) and resets "flows",
    // "flows_priv" and "flows_dropped", so each report counts what happened since the previous
    // one.
    void GetStatus(json &status) override;
    // Prints four coloured lines for a status object on standard output; a member that is absent
    // or not an unsigned number prints as 0.
    void DisplayStatus(const json &status) override;

    // Event 0, a reload request, makes the worker reload on its next pass (and re-queue the
    // host's classified flows when "reprocess_flows" is on); other events are ignored.
    void DispatchEvent(tdPlugin::Event event, void *data = nullptr) override;

    // Intake, on host threads. "flow_expired", "dpi_new" and "dpi_complete" events, and
    // "flow_intel" events with a copy of their document as the parameter "intel", are queued for
    // the worker; other kinds are ignored. The flow-map event re-queues the map's classified
    // flows once after a reload request with reprocessing; the update event makes the worker call
    // every target's Update. A null flow is ignored.
    using tdPluginProcessor::DispatchProcessorEvent;
    void DispatchProcessorEvent(tdPluginProcessor::Event event, tdFlowMap *flow_map) override;
    void DispatchProcessorEvent(tdPluginProcessor::Event event,
                                std::shared_ptr<tdFlow> &flow) override;
    void DispatchProcessorEvent(tdPluginProcessor::Event event, std::shared_ptr<tdFlow> &flow,
                                json &data) override;
    void DispatchProcessorEvent(tdPluginProcessor::Event event) override;

    virtual void DispatchSinkPayload(const std::string &sink, const std::set<std::string> &channels,
                                     json &payload, tdFlags<tdPlugin::DispatchFlags> flags);

    tfaTarget *FindTarget(const std::string &name) const override;

    // Drops the configuration: counters, global exemptions, actions, targets.
    void Unload();
    // Reloads the configuration file on the calling thread and clears the parser's caches. Once a
    // configuration was loaded, the file is validated first: when validation throws, the
    // configuration in force stays as it was (actions, targets, pf tables, counters) and the
    // fault passes on. Only then the configuration is unloaded and the file loaded.
    void Reload();
    // Builds everything the file describes, as a load would, but keeps none of it and changes
    // nothing: targets are built without touching pf or the filesystem, the device is not
    // opened, the time zone is tried on a copy. Throws what the load would throw.
    void Validate();

    // Loads the configuration file: time zone, pf device, targets, actions (sorted by priority)
    // and global exemptions. Throws tdException (or a JSON type error, or what a factory throws)
    // on a fatal fault; what was installed before the fault stays, and the counters keep what
    // they counted.
    void LoadConfig();

    // The faults of the last load (or validation) that did not stop it, as reported.
    const std::vector<std::string> &GetLoadFaults() const { return load_faults; }
    void Report(const std::string &text) const override;

    static constexpr const char *NAME = "Tarvix Flow Actions Processor Plugin";
    static constexpr const char *VERSION = "1.2.15";
    static constexpr const char *LIBRARY = "tarvix-proc-flow-actions";
    // Events the queue holds at most unless "queue_limit" says otherwise.
    static constexpr size_t DEFAULT_QUEUE_LIMIT = 1000000;

    struct Stats {
        std::atomic<uint64_t> actions{0};
        std::atomic<uint64_t> actions_enabled{0};
        std::atomic<uint64_t> flows{0};
        std::atomic<uint64_t> flows_priv{0};
        std::atomic<uint64_t> flows_queued{0};
        std::atomic<uint64_t> flows_dropped{0};
        // What the last load reported without refusing the file: unknown names, expressions
        // that do not compile.
        std::atomic<uint64_t> load_faults{0};
        std::atomic<uint64_t> global_exemptions{0};
        std::atomic<uint64_t> targets{0};
        std::atomic<uint64_t> targets_enabled{0};
    };

    int64_t GetNow() const override { return now.load(); }

protected:
    using TargetMap = std::unordered_map<std::string, std::unique_ptr<tfaTarget>>;
    using ActionList = std::vector<std::pair<std::string, std::shared_ptr<tfaAction>>>;
    using ExemptionList = std::vector<std::unique_ptr<tfaExemption>>;

    // Where one load puts what it builds: the plug-in's own collections, or a validation's.
    struct Build {
        TargetMap &targets;
        ActionList &actions;
        ExemptionList &exemptions;
        Stats &counts;
        bool validate;
    };

    // Builds one target of a registered kind; null when the kind has no factory. Tests override
    // it to register kinds of their own.
    virtual std::unique_ptr<tfaTarget> CreateTarget(const tfaTargetKind &kind,
                                                    const std::string &name,
                                                    const json &target_config,
                                                    const json &type_config);

    void Load(Build &build);
    // Applies (or, validating, only checks) the top-level options and the pf device.
    void LoadOptions(const json &config, bool validate);
    // Replaces the targets with the enabled ones of `targets_json`, in name order.
    void LoadTargets(const json &targets_json, const json &defaults_json, Build &build);
    // Replaces the actions; installs them, sorted by priority, only when every one was created.
    void LoadActions(const json &actions_json, Build &build);
    // Replaces the global exemptions; a bad element is reported and skipped.
    void LoadExemptions(const json &exemptions_json, Build &build);

    // The worker's steps, in pass order. Each reports its own faults and returns, so one bad
    // configuration, target or queued event never ends the worker.
    void ApplyReload();
    void TickTargets();
    void UpdateTargets();
    // Takes the whole queue (or what the last wait took) and processes it; false when there
    // was nothing.
    bool ProcessQueue();
    // Moves the queue into `batch` and counts it; the caller holds queue_lock.
    void TakeQueue(std::vector<tfaFlowEntry> &batch);
    void ProcessEntry(tfaFlowEntry &entry);
    // Sleeps until there is work (an event, a reload, an update, the stop flag) or idle_wait ran
    // out; work that arrives while the worker goes to sleep is seen, never slept through.
    void WaitForEvents();
    // Wakes the worker after a flag it waits for was set.
    void Wake();
    void RefreshNow();

    void QueueFlow(tdPluginProcessor::Event event, std::shared_ptr<tdFlow> &flow,
                   tdFlowParams &&params);
    // Appends under the thread lock when the queue has room. True when the worker sleeps and
    // must be woken: a busy worker takes the event with its next batch unasked.
    bool PushEntry(tfaFlowEntry &&entry);
    static void Prefetch(const tdFlow &flow);
    // Reports the events dropped since the previous report, once per update.
    void ReportDrops();

    // The longest the idle worker sleeps before it ticks its targets again.
    std::chrono::milliseconds idle_wait{std::chrono::seconds(1)};

    std::unique_ptr<tfaTargetPFtableConfig> pf_config;
#ifdef TFA_HAVE_NFT
    // The nftables connection the nftset targets share.
    std::unique_ptr<tfaTargetNFTsetConfig> nft_config;
#endif
    std::atomic<bool> reprocess_flows{false};
    std::atomic<bool> reload_pending{true};
    std::atomic<bool> reprocess_pending{false};
    std::atomic<bool> update_pending{false};
    std::mutex status_lock;
    std::map<std::string, tfaTargetKind> target_kinds;
    // The thread lock guards flow_queue; the worker waits on queue_cond under it. The agent's
    // view of the worker rests on this: host threads take the lock only to add to the queue,
    // the worker only to take from it.
    struct QueueLock {
        tdThread &thread;
        void lock() { thread.Lock(); }
        void unlock() { thread.Unlock(); }
    };
    QueueLock queue_lock{*this};
    std::condition_variable_any queue_cond;
    std::vector<tfaFlowEntry> flow_queue;
    // Set, under the thread lock, while the worker sleeps on queue_cond.
    bool worker_waiting = false;
    // The batch the worker took (in its wait or its pass), processed on its pass.
    std::vector<tfaFlowEntry> taken;
    std::atomic<size_t> queue_limit;
    // Drops not yet reported by ReportDrops.
    std::atomic<uint64_t> drops_unreported{0};
    TargetMap targets;
    ActionList actions;
    ExemptionList exemptions;
    // The targets actions of the running load resolve their names in.
    const TargetMap *building = &targets;
    bool validating = false;
    // Set once a load was tried: later reloads validate first.
    bool configured = false;
    mutable std::vector<std::string> load_faults;
    tdTimeOfDay time_of_day;
    std::atomic<int64_t> now{0};
    Stats stats;
};
