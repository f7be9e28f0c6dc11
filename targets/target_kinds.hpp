#pragma once

#include "host/json.hpp"
#include "targets/target.hpp"

#include <memory>
#include <string>
#include <vector>

class tfaTargetNFTsetConfig;
class tfaTargetPFtableConfig;

// What a target factory may need besides its keys: state the plug-in keeps across reloads.
struct tfaTargetResources {
    tfaTargetPFtableConfig *pf_config = nullptr;
    tfaTargetNFTsetConfig *nft_config = nullptr;
    // Build only to check the keys: the target must not touch pf or the filesystem, now or when
    // it is destroyed.
    bool validate = false;
};

// One kind of target a configuration may name in "target_type".
struct tfaTargetKind {
    using Factory = std::unique_ptr<tfaTarget> (*)(const std::string &name,
                                                   const json &target_config,
                                                   const json &type_config,
                                                   const tfaTargetResources &resources);
    const char *name;
    tfaTarget::tfaTargetType type;
    Factory create;
};

// Every kind this build offers, in name order; the one place a new kind is registered.
const std::vector<tfaTargetKind> &tfaTargetKinds();
