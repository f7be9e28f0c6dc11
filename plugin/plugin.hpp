#pragma once

#include "host/flow_parser.hpp"
#include "host/json.hpp"
#include "host/plugin.hpp"
#include "host/time_of_day.hpp"
#include "rules/rules_context.hpp"
#include "targets/target.hpp"
#include "targets/target_kinds.hpp"

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <pthread.h>
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

    void GetLibrary(std::string &library) override { library = LIBRARY; }
    void GetName(std::string &name) override { name = NAME; }
    void GetVersion(std::string &version) override { version = VERSION; }

    // Writes the eight counters into `status` (other members are left alone) and resets "flows"
    // and "flows_priv", so each report counts the flows taken since the previous one.
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
    // Unload, load the configuration file and clear the parser's caches, on the calling thread.
    void Reload();

    // Loads the configuration file: time zone, pf device, targets, actions (sorted by priority)
    // and global exemptions. Throws tdException (or a JSON type error, or what a factory throws)
    // on a fatal fault; what was installed before the fault stays, and the counters keep what
    // they counted.
    void LoadConfig();
    // Replaces the targets with the enabled ones of `targets_json`, in name order.
    void LoadTargets(const json &targets_json, const json &defaults_json);
    // Replaces the actions; installs them, sorted by priority, only when every one was created.
    void LoadActions(const json &actions_json);
    // Replaces the global exemptions; a bad element is reported and skipped.
    void LoadExemptions(const json &exemptions_json);

    static constexpr const char *NAME = "Tarvix Flow Actions Processor Plugin";
    static constexpr const char *VERSION = "1.2.15";
    static constexpr const char *LIBRARY = "tarvix-proc-flow-actions";

    struct Stats {
        std::atomic<uint64_t> actions{0};
        std::atomic<uint64_t> actions_enabled{0};
        std::atomic<uint64_t> flows{0};
        std::atomic<uint64_t> flows_priv{0};
        std::atomic<uint64_t> flows_queued{0};
        std::atomic<uint64_t> global_exemptions{0};
        std::atomic<uint64_t> targets{0};
        std::atomic<uint64_t> targets_enabled{0};
    };

    int64_t GetNow() const override { return now.load(); }

protected:
    // Builds one target of a registered kind; null when the kind has no factory. Tests override
    // it to register kinds of their own.
    virtual std::unique_ptr<tfaTarget> CreateTarget(const tfaTargetKind &kind,
                                                    const std::string &name,
                                                    const json &target_config,
                                                    const json &type_config);

    // The worker's steps, in pass order. Each reports its own faults and returns, so one bad
    // configuration, target or queued event never ends the worker.
    void ApplyReload();
    void TickTargets();
    void UpdateTargets();
    // Takes the whole queue and processes it; false when it was empty.
    bool ProcessQueue();
    void ProcessEntry(tfaFlowEntry &entry);
    // Waits up to one second for a broadcast of queue_cond.
    void WaitForEvents();
    void RefreshNow();

    void QueueFlow(tdPluginProcessor::Event event, std::shared_ptr<tdFlow> &flow,
                   tdFlowParams &&params);

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
    std::deque<tfaFlowEntry> flow_queue;
    pthread_cond_t queue_cond;
    pthread_mutex_t queue_cond_lock;
    std::unordered_map<std::string, std::unique_ptr<tfaTarget>> targets;
    std::vector<std::pair<std::string, std::shared_ptr<tfaAction>>> actions;
    std::vector<std::unique_ptr<tfaExemption>> exemptions;
    tdTimeOfDay time_of_day;
    std::atomic<int64_t> now{0};
    Stats stats;
};
