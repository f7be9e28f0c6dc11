// Test doubles for the plug-in: a target kind that records what reaches it, a plug-in that builds
// that kind from its configuration and opens its inner state to tests, the host singletons the
// plug-in expects.
#pragma once

#include "host/exception.hpp"
#include "host/flow.hpp"
#include "host/global_config.hpp"
#include "host/instance.hpp"
#include "plugin/plugin.hpp"
#include "rules/action.hpp"
#include "support/temp_dir.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// What the recording targets saw. Shared by every target of a plug-in, so it survives reloads.
class Journal
{
public:
    struct Call {
        std::string target;
        std::string action;
        tdPluginProcessor::Event event;
        std::shared_ptr<tdFlow> flow;
        json tags;
    };

    void Add(Call call)
    {
        std::lock_guard<std::mutex> guard(lock);
        calls.push_back(std::move(call));
    }
    std::vector<Call> Calls() const
    {
        std::lock_guard<std::mutex> guard(lock);
        return calls;
    }
    size_t Count() const
    {
        std::lock_guard<std::mutex> guard(lock);
        return calls.size();
    }
    // "action>target" for every call, in order.
    std::vector<std::string> Route() const
    {
        std::vector<std::string> route;
        for (const auto &call : Calls())
            route.push_back(call.action + ">" + call.target);
        return route;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> guard(lock);
        calls.clear();
    }

    std::atomic<uint64_t> ticks{0};
    std::atomic<uint64_t> updates{0};

private:
    mutable std::mutex lock;
    std::vector<Call> calls;
};

// Records every flow handed to it. Its configuration may hold "fail": true (it throws instead)
// and "delay_ms" (it takes that long per flow).
class RecordingTarget : public tfaTarget
{
public:
    static constexpr tfaTargetType TT_RECORD = static_cast<tfaTargetType>(100);

    RecordingTarget(const std::string &name, Journal &journal, const json &config = json())
        : tfaTarget(TT_RECORD, name, TF_NONE), journal(journal),
          fail(config.is_object() && config.value("fail", false)),
          delay(config.is_object() ? config.value("delay_ms", 0) : 0)
    {
    }

    bool ProcessFlow(const tfaAction &action, tdPluginProcessor::Event event,
                     std::shared_ptr<tdFlow> &flow) override
    {
        if (fail)
            throw tdException("%s: target failure", name.c_str());
        std::this_thread::sleep_for(delay);
        journal.Add({name, action.name, event, flow, action.tags});
        return true;
    }
    void Tick() override { journal.ticks++; }
    void Update() override { journal.updates++; }

private:
    Journal &journal;
    bool fail;
    std::chrono::milliseconds delay;
};

// The plug-in with the target kind "record" and its inner state open to tests.
class TestPlugin : public tfaPlugin
{
public:
    TestPlugin(const std::string &conf_filename, Journal &journal, const std::string &tag = "fa0")
        : tfaPlugin(tag, {{"conf_filename", conf_filename}}), journal(journal)
    {
        target_kinds.emplace("record", tfaTargetKind{"record", RecordingTarget::TT_RECORD, nullptr});
    }

    // Registers a recording target outside any configuration.
    void AddTarget(const std::string &name)
    {
        targets[name] = std::make_unique<RecordingTarget>(name, journal);
    }

    std::vector<std::string> ActionOrder() const
    {
        std::vector<std::string> names;
        for (const auto &action : actions)
            names.push_back(action.first);
        return names;
    }
    std::vector<std::string> TargetNames() const
    {
        std::vector<std::string> names;
        for (const auto &target : targets)
            names.push_back(target.first);
        std::sort(names.begin(), names.end());
        return names;
    }
    size_t ExemptionCount() const { return exemptions.size(); }
    const Stats &Counters() const { return stats; }
    bool ReprocessFlows() const { return reprocess_flows; }
    bool ReloadPending() const { return reload_pending; }
    bool ReprocessPending() const { return reprocess_pending; }
    bool UpdatePending() const { return update_pending; }
    void SetReprocessPending() { reprocess_pending = true; }
    void SetNow(int64_t value) { now = value; }
    tdTimeOfDay &Clock() { return time_of_day; }
    tfaTargetPFtableConfig *PfConfig() const { return pf_config.get(); }
    void ClearLoadFaults() { load_faults.clear(); }
    size_t QueueLimit() { return queue_limit; }
    // How long the idle worker sleeps; a long one turns a lost wake-up into a hang.
    void SetIdleWait(std::chrono::milliseconds wait) { idle_wait = wait; }

    std::vector<tfaFlowEntry> Queue()
    {
        std::lock_guard<QueueLock> guard(queue_lock);
        return std::vector<tfaFlowEntry>(flow_queue.begin(), flow_queue.end());
    }
    // One batch on the calling thread, as the worker would take it.
    bool RunQueue() { return ProcessQueue(); }

    // The type defaults each target was created with, by target name.
    std::map<std::string, json> type_configs;

protected:
    std::unique_ptr<tfaTarget> CreateTarget(const tfaTargetKind &kind, const std::string &name,
                                            const json &target_config,
                                            const json &type_config) override
    {
        type_configs[name] = type_config;
        if (kind.type != RecordingTarget::TT_RECORD)
            return tfaPlugin::CreateTarget(kind, name, target_config, type_config);
        return std::make_unique<RecordingTarget>(name, journal, target_config);
    }

private:
    Journal &journal;
};

// The host singletons: global configuration (path variables) and the instance with the example
// application catalogue.
struct HostEnvironment {
    HostEnvironment() { instance.apps.Load(TFA_SOURCE_DIR "/examples/applications.json"); }

    tdGlobalConfig config;
    tdInstance instance{"tarvixd"};
};

// Polls `done` until it holds or `limit` passes; the result of the last poll.
inline bool WaitFor(const std::function<bool()> &done,
                    std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A classified TCP flow on a LAN interface.
inline std::shared_ptr<tdFlow> MakeFlow(uint32_t application = 0, uint32_t protocol = 0,
                                        const std::string &iface = "eth0",
                                        uint8_t role = tdFlow::ROLE_LAN)
{
    auto flow = std::make_shared<tdFlow>();
    flow->ip_version = 4;
    flow->ip_protocol = 6;
    tdAddr::Create(flow->lower_addr, "192.168.1.10");
    tdAddr::Create(flow->upper_addr, "93.184.216.34");
    flow->lower_map = tdFlow::LOWER_MAP_LOCAL;
    flow->detected_application = application;
    flow->detected_protocol = protocol;
    flow->iface_name = iface;
    flow->iface_role = role;
    flow->detection_complete = true;
    return flow;
}

// Writes `text` as the configuration file "tfa.json" of `scratch` and reloads `plugin` on the
// calling thread, as the worker would; the fault text, or "" when the load succeeded.
inline std::string ReloadFault(const TempDir &scratch, tfaPlugin &plugin, const std::string &text)
{
    scratch.Write("tfa.json", text);
    try {
        plugin.Reload();
    } catch (const tdException &e) {
        return e.what();
    } catch (const json::exception &e) {
        return std::string("json: ") + e.what();
    }
    return "";
}
