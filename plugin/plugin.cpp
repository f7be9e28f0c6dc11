#include "plugin/plugin.hpp"

#include "host/exception.hpp"
#include "host/log.hpp"
#include "rules/action.hpp"
#include "rules/exemption.hpp"
#include "targets/pftable_config.hpp"
#ifdef TFA_HAVE_NFT
#include "targets/nftset.hpp"
#endif

#include <ctime>
#include <mutex>


namespace
{
// Every instance evaluates with the one parser; the last instance to go releases it.
std::mutex parser_users_lock;
size_t parser_users = 0;

void AcquireParser()
{
    std::lock_guard<std::mutex> guard(parser_users_lock);
    if (parser_users++ == 0)
        tfaRulesContext::parser = new tdFlowParser();
}

void ReleaseParser()
{
    std::lock_guard<std::mutex> guard(parser_users_lock);
    if (--parser_users != 0)
        return;
    delete tfaRulesContext::parser;
    tfaRulesContext::parser = nullptr;
}
} // namespace

tfaPlugin::tfaPlugin(const std::string &tag, const tdPlugin::Params &params)
    : tdPluginProcessor(tag, params), queue_limit(DEFAULT_QUEUE_LIMIT)
{
    tdTimeOfDay::Load(time_of_day, "00:00", "23:59", tdTimeOfDay::ALL_DAYS,
                      tdTimeOfDay::POLICY_INSIDE);
    now = static_cast<int64_t>(time(nullptr));

    for (const auto &kind : tfaTargetKinds())
        target_kinds.emplace(kind.name, kind);
    pf_config = std::make_unique<tfaTargetPFtableConfig>();
#ifdef TFA_HAVE_NFT
    nft_config = std::make_unique<tfaTargetNFTsetConfig>();
#endif
    // Last, so a constructor that throws never holds a reference its destructor cannot drop.
    AcquireParser();
}

tfaPlugin::~tfaPlugin()
{
    // The host sets the stop flag before it destroys a plug-in; setting it here as well means a
    // host that forgot cannot leave the destructor waiting for the worker forever.
    Terminate();
    Wake();
    Join();

    Unload();

    pf_config.reset();
#ifdef TFA_HAVE_NFT
    nft_config.reset();
#endif
    ReleaseParser();

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

tfaTarget *tfaPlugin::FindTarget(const std::string &name) const
{
    auto it = building->find(name);
    return it == building->end() ? nullptr : it->second.get();
}

void tfaPlugin::DispatchEvent(tdPlugin::Event event, void *data)
{
    if (event != tdPlugin::EVENT_RELOAD)
        return;
    reload_pending = true;
    if (reprocess_flows)
        reprocess_pending = true;
    Wake();
}

void tfaPlugin::DispatchSinkPayload(const std::string &sink, const std::set<std::string> &channels,
                                    json &payload, tdFlags<tdPlugin::DispatchFlags> flags)
{
    tdPlugin::DispatchSinkPayload(sink, channels, payload, flags);
}
