#include "plugin/plugin.hpp"

#include "host/exception.hpp"
#include "host/log.hpp"
#include "rules/action.hpp"
#include "rules/exemption.hpp"
#include "targets/pftable_config.hpp"
#ifdef TFA_HAVE_NFT
#include "targets/nftset.hpp"
#endif

#include <cstring>
#include <ctime>


tfaPlugin::tfaPlugin(const std::string &tag, const tdPlugin::Params &params)
    : tdPluginProcessor(tag, params)
{
    tdTimeOfDay::Load(time_of_day, "00:00", "23:59", tdTimeOfDay::ALL_DAYS,
                      tdTimeOfDay::POLICY_INSIDE);
    now = static_cast<int64_t>(time(nullptr));

    pthread_condattr_t attr;
    int rc = pthread_condattr_init(&attr);
    if (rc == 0)
        rc = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    if (rc == 0)
        rc = pthread_cond_init(&queue_cond, &attr);
    pthread_condattr_destroy(&attr);
    if (rc != 0)
        throw tdException("%s: %s: %s", tag.c_str(), "pthread_cond_init", strerror(rc));

    rc = pthread_mutex_init(&queue_cond_lock, nullptr);
    if (rc != 0) {
        pthread_cond_destroy(&queue_cond);
        throw tdException("%s: %s: %s", tag.c_str(), "pthread_mutex_init", strerror(rc));
    }

    if (parser == nullptr)
        parser = new tdFlowParser();

    for (const auto &kind : tfaTargetKinds())
        target_kinds.emplace(kind.name, kind);
    pf_config = std::make_unique<tfaTargetPFtableConfig>();
#ifdef TFA_HAVE_NFT
    nft_config = std::make_unique<tfaTargetNFTsetConfig>();
#endif
}

tfaPlugin::~tfaPlugin()
{
    // The host sets the stop flag before it destroys a plug-in; setting it here as well means a
    // host that forgot cannot leave the destructor waiting for the worker forever.
    Terminate();
    pthread_cond_broadcast(&queue_cond);
    Join();
    pthread_cond_destroy(&queue_cond);
    pthread_mutex_destroy(&queue_cond_lock);

    Unload();

    pf_config.reset();
#ifdef TFA_HAVE_NFT
    nft_config.reset();
#endif
    delete parser;
    parser = nullptr;

    td_dprintf("%s: destroyed\n", tag.c_str());
}

void tfaPlugin::Unload()
{
    stats.actions = 0;
    stats.actions_enabled = 0;
    stats.flows = 0;
    stats.flows_priv = 0;
    stats.flows_queued = 0;
    stats.global_exemptions = 0;
    stats.targets = 0;
    stats.targets_enabled = 0;

    exemptions.clear();

    while (!actions.empty())
        actions.pop_back();

    targets.clear();

    td_dprintf("%s: Unloaded configuration.\n", tag.c_str());
}

void tfaPlugin::Reload()
{
    Unload();
    LoadConfig();
    parser->ClearCache();
}

tfaTarget *tfaPlugin::FindTarget(const std::string &name) const
{
    auto it = targets.find(name);
    return it == targets.end() ? nullptr : it->second.get();
}

void tfaPlugin::DispatchEvent(tdPlugin::Event event, void *data)
{
    if (event != tdPlugin::EVENT_RELOAD)
        return;
    reload_pending = true;
    if (reprocess_flows)
        reprocess_pending = true;
}

void tfaPlugin::DispatchSinkPayload(const std::string &sink, const std::set<std::string> &channels,
                                    json &payload, tdFlags<tdPlugin::DispatchFlags> flags)
{
    tdPlugin::DispatchSinkPayload(sink, channels, payload, flags);
}
