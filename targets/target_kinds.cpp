#include "targets/target_kinds.hpp"

#include "targets/log.hpp"
#ifdef TFA_HAVE_NFT
#include "targets/nftset.hpp"
#endif
#include "targets/pftable.hpp"
#include "targets/sink.hpp"

namespace
{
std::unique_ptr<tfaTarget> CreateLog(const std::string &name, const json &target_config,
                                     const json &type_config, const tfaTargetResources &)
{
    return tfaTargetLog::Create(name, target_config, type_config);
}

#ifdef TFA_HAVE_NFT
std::unique_ptr<tfaTarget> CreateNFTset(const std::string &name, const json &target_config,
                                        const json &type_config,
                                        const tfaTargetResources &resources)
{
    return tfaTargetNFTset::Create(name, resources.nft_config, target_config, type_config,
                                   !resources.validate);
}
#endif

std::unique_ptr<tfaTarget> CreatePFtable(const std::string &name, const json &target_config,
                                         const json &type_config,
                                         const tfaTargetResources &resources)
{
    return tfaTargetPFtable::Create(name, resources.pf_config, target_config, type_config,
                                    !resources.validate);
}

std::unique_ptr<tfaTarget> CreateSink(const std::string &name, const json &target_config,
                                      const json &type_config, const tfaTargetResources &)
{
    return tfaTargetSink::Create(name, target_config, type_config);
}
} // namespace

const std::vector<tfaTargetKind> &tfaTargetKinds()
{
    static const std::vector<tfaTargetKind> kinds = {
        {"log", tfaTarget::TT_LOG, CreateLog},
#ifdef TFA_HAVE_NFT
        {"nftset", tfaTarget::TT_NFTSET, CreateNFTset},
#endif
        {"pftable", tfaTarget::TT_PFTABLE, CreatePFtable},
        {"sink", tfaTarget::TT_SINK, CreateSink},
    };
    return kinds;
}
