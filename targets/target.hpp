#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/flow.hpp"
#include "host/json.hpp"
#include "host/plugin.hpp"

class tfaAction;

// A place where matching flow events go. Each kind has a static factory
// Create(name, target_config, type_config) that reads its keys first from `type_config` (the type
// defaults, or null) and then from `target_config`, the target's own value winning; it throws
// tdException for a bad key and returns a new target owned by the caller.
//
// Targets are used only from the plug-in's worker thread and from configuration loading and
// unloading; they take no locks.
class tfaTarget
{
public:
    enum tfaTargetType : uint32_t {
        TT_LOG = 3,
        TT_PFTABLE = 5,
        TT_SINK = 6,
        // Linux only: the kind "nftset" is registered where TFA_HAVE_NFT is defined.
        TT_NFTSET = 7,
    };

    enum tfaTargetFlags : uint32_t {
        TF_NONE = 0x00,
        TF_FLUSH_ON_CREATE = 0x01,
        TF_FLUSH_ON_DESTROY = 0x02,
        TF_MANAGED = 0x04,
        TF_AUTO_EXPIRE = 0x08,
    };

    tfaTarget(tfaTargetType type, const std::string &name, uint32_t flags)
        : type(type), name(name), flags(flags)
    {
    }
    virtual ~tfaTarget() = default;

    tfaTarget(const tfaTarget &) = delete;
    tfaTarget &operator=(const tfaTarget &) = delete;

    // Called on every pass of the worker loop (at least about once a second). Does nothing here.
    virtual void Tick() {}
    // Called once after each host update event. Does nothing here.
    virtual void Update() {}
    // Hands one matching flow event to the target; true when the target did its work. The
    // caller does not act on the result.
    virtual bool ProcessFlow(const tfaAction &action, tdPluginProcessor::Event event,
                             std::shared_ptr<tdFlow> &flow) = 0;

    tfaTargetType GetType() const { return type; }
    const std::string &GetName() const { return name; }
    uint32_t GetFlags() const { return flags; }

protected:
    tfaTargetType type;
    std::string name;
    uint32_t flags;
};
