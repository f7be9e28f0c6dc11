#include "targets/nftset.hpp"

#include "host/exception.hpp"
#include "host/log.hpp"
#include "targets/target_keys.hpp"
#include "targets/nft/netlink.hpp"

#include <cerrno>
#include <cstring>

namespace
{

constexpr char LOCAL_ADDRESS[] = "local";
constexpr uint64_t MS_PER_SECOND = 1000;

// Causes of a failure that no errno names; negative, so they never equal one.
constexpr int WRONG_TYPE = -1;
constexpr int NO_TIMEOUT = -2;
constexpr int UNUSABLE = -3;
constexpr int MISSING_TABLE = -4;
constexpr int MISSING_SET = -5;

const char *FamilyOf(bool ipv6)
{
    return ipv6 ? "IPv6" : "IPv4";
}

} // namespace

tfaTargetNFTsetConfig::tfaTargetNFTsetConfig(std::unique_ptr<tfaNftKernel> kernel)
    : kernel(kernel ? std::move(kernel) : std::make_unique<tfaNftNetlink>())
{
}

tfaTargetNFTsetConfig::~tfaTargetNFTsetConfig() = default;

std::unique_ptr<tfaTargetNFTset> tfaTargetNFTset::Create(const std::string &name,
                                                         tfaTargetNFTsetConfig *config,
                                                         const json &target_config,
                                                         const json &type_config, bool install)
{
    std::string family_name = "inet";
    std::string table = DEFAULT_TABLE;
    std::string set, set6;
    std::string address_type;
    uint32_t ttl = 0;
    bool managed = false, flush = false, flush_on_create = false, flush_on_destroy = false;

    tfaTargetKeys keys(name, type_config, target_config);
    keys.String("family", family_name);
    keys.String("table", table);
    keys.RequiredTargetString("set", set);
    // "set6" is a name for one target alone, so type defaults do not supply it.
    const json no_defaults;
    tfaTargetKeys target_keys(name, no_defaults, target_config);
    target_keys.String("set6", set6);
    keys.String("address_type", address_type);
    keys.Unsigned("ttl", ttl);
    keys.Bool("managed", managed);
    keys.Bool("flush", flush);
    keys.Bool("flush_on_create", flush_on_create);
    keys.Bool("flush_on_destroy", flush_on_destroy);

    uint8_t family = 0;
    if (!nft_family_parse(family_name, &family))
        throw tdException("%s: invalid family (inet, ip or ip6): %s", name.c_str(),
                          family_name.c_str());
    if (table.empty())
        throw tdException("%s: empty string parameter: %s", name.c_str(), "table");
    if (set.empty())
        throw tdException("%s: empty string parameter: %s", name.c_str(), "set");

    std::unique_ptr<tfaTargetNFTset> target(
        new tfaTargetNFTset(name, config, family, table, set, set6,
                            address_type == LOCAL_ADDRESS ? ADDR_LOCAL : ADDR_OTHER, ttl));
    if (!install)
        return target;
    target->flags = (managed ? TF_MANAGED : TF_NONE) |
                    (flush || flush_on_create ? TF_FLUSH_ON_CREATE : TF_NONE) |
                    (flush_on_destroy ? TF_FLUSH_ON_DESTROY : TF_NONE);
    target->Create();
    return target;
}

tfaTargetNFTset::tfaTargetNFTset(const std::string &name, tfaTargetNFTsetConfig *config,
                                 uint8_t family, const std::string &table, const std::string &set,
                                 const std::string &set6, AddrType addr_type, uint32_t ttl)
    : tfaTargetAddress(TT_NFTSET, name, 0, addr_type), family(family), table(table),
      config(config), ttl(ttl)
{
    switch (family) {
    case NFT_FAMILY_IP:
        set4 = set;
        break;
    case NFT_FAMILY_IP6:
        this->set6 = set6.empty() ? set : set6;
        break;
    default:
        set4 = set;
        this->set6 = set6.empty() ? set + "6" : set6;
        break;
    }
}

tfaTargetNFTset::~tfaTargetNFTset()
{
    if (HasFlag(TF_FLUSH_ON_DESTROY))
        FlushSets();
}

void tfaTargetNFTset::Create()
{
    if (HasFlag(TF_MANAGED))
        CreateSets();
    for (bool ipv6 : {false, true})
        if (!SetFor(ipv6).empty())
            CheckSet(ipv6);
    if (HasFlag(TF_FLUSH_ON_CREATE))
        FlushSets();
}

bool tfaTargetNFTset::ProcessFlow(const tfaAction &action, tdPluginProcessor::Event event,
                                  std::shared_ptr<tdFlow> &flow)
{
    const tdAddr *addr = FlowAddress(event, flow);
    if (addr == nullptr)
        return false;
    if (!addr->IsIPv4() && !addr->IsIPv6())
        return false;
    return AddElement(addr->GetString());
}

std::string tfaTargetNFTset::Where(bool ipv6) const
{
    return nft_family_name(family) + " " + table + " " + SetFor(ipv6);
}

void tfaTargetNFTset::Fail(bool ipv6, int error, const std::string &text)
{
    SetState &set_state = state[ipv6];
    if (set_state.reported == error) {
        td_dprintf("%s: %s: %s\n", name.c_str(), Where(ipv6).c_str(), text.c_str());
        return;
    }
    set_state.reported = error;
    td_printf("%s: %s: %s\n", name.c_str(), Where(ipv6).c_str(), text.c_str());
}

void tfaTargetNFTset::FailErrno(bool ipv6, const char *doing, int error)
{
    std::string text = std::string(doing) + ": ";
    int cause = error;
    switch (error) {
    case ENOENT:
        state[ipv6].checked = false;
        // The kernel answers ENOENT for a missing table and a missing set alike.
        if (Kernel().GetTable(family, table) == -1 && errno == ENOENT) {
            cause = MISSING_TABLE;
            text += "table does not exist";
        } else {
            cause = MISSING_SET;
            text += "set does not exist";
        }
        if (!HasFlag(TF_MANAGED))
            text += " (create it, or set \"managed\": true)";
        break;
    case EPERM:
    case EACCES:
        text += std::string(strerror(error)) + " (needs root or CAP_NET_ADMIN)";
        break;
    default:
        text += strerror(error);
        break;
    }
    Fail(ipv6, cause, text);
}

bool tfaTargetNFTset::CheckSet(bool ipv6)
{
    SetState &set_state = state[ipv6];
    if (set_state.checked)
        return true;
    nft_set_spec spec;
    if (Kernel().GetSet(family, table, SetFor(ipv6), &spec) == -1) {
        FailErrno(ipv6, "checking set", errno);
        return false;
    }
    nft_set_spec wanted = nft_address_set_spec(ipv6, ttl > 0);
    if (spec.key_type != wanted.key_type || spec.key_len != wanted.key_len) {
        Fail(ipv6, WRONG_TYPE,
             "wrong set type: " + nft_key_type_name(spec.key_type) + " (" +
                 std::to_string(spec.key_len) + " bytes), " + FamilyOf(ipv6) +
                 " addresses need " + nft_key_type_name(wanted.key_type));
        return false;
    }
    if (spec.flags & (NFT_SET_FLAG_CONSTANT | NFT_SET_FLAG_INTERVAL)) {
        Fail(ipv6, UNUSABLE,
             std::string("set is ") +
                 (spec.flags & NFT_SET_FLAG_CONSTANT ? "constant" : "an interval set") +
                 ", single addresses cannot be added");
        return false;
    }
    if (ttl > 0 && !(spec.flags & NFT_SET_FLAG_TIMEOUT)) {
        Fail(ipv6, NO_TIMEOUT,
             "set has no timeout flag, which \"ttl\": " + std::to_string(ttl) + " needs");
        return false;
    }
    set_state.checked = true;
    Succeeded(ipv6);
    return true;
}

bool tfaTargetNFTset::CreateSets()
{
    bool created = false;
    if (Kernel().AddTable(family, table, &created) == -1) {
        int error = errno;
        for (bool ipv6 : {false, true})
            if (!SetFor(ipv6).empty())
                FailErrno(ipv6, "creating table", error);
        return false;
    }
    td_dprintf("%s: %s %s: table %s.\n", name.c_str(), nft_family_name(family).c_str(),
               table.c_str(), created ? "created" : "exists");

    bool all = true;
    for (bool ipv6 : {false, true}) {
        if (SetFor(ipv6).empty())
            continue;
        if (Kernel().AddSet(family, table, SetFor(ipv6), nft_address_set_spec(ipv6, ttl > 0),
                            &created) == -1) {
            FailErrno(ipv6, "creating set", errno);
            all = false;
            continue;
        }
        td_dprintf("%s: %s: set %s.\n", name.c_str(), Where(ipv6).c_str(),
                   created ? "created" : "exists");
    }
    return all;
}

bool tfaTargetNFTset::FlushSets()
{
    bool removed = false;
    for (bool ipv6 : {false, true}) {
        if (SetFor(ipv6).empty())
            continue;
        std::vector<nft_element> elements;
        if (Kernel().ListElements(family, table, SetFor(ipv6), &elements) == -1 ||
            Kernel().FlushSet(family, table, SetFor(ipv6)) == -1) {
            FailErrno(ipv6, "flushing set", errno);
            continue;
        }
        if (!elements.empty()) {
            removed = true;
            td_dprintf("%s: %s, %s: %zu\n", "FlushSets", name.c_str(), Where(ipv6).c_str(),
                       elements.size());
        }
    }
    return removed;
}

bool tfaTargetNFTset::AddElement(const std::string &address)
{
    nft_addr addr;
    if (!nft_addr_parse(address, &addr)) {
        td_dprintf("%s: not a host address: %s\n", name.c_str(), address.c_str());
        return false;
    }
    if (SetFor(addr.ipv6).empty()) {
        td_dprintf("%s: %s table %s takes no %s address: %s\n", name.c_str(),
                   nft_family_name(family).c_str(), table.c_str(), FamilyOf(addr.ipv6),
                   address.c_str());
        return false;
    }
    if (!CheckSet(addr.ipv6))
        return false;
    bool added = false;
    if (Kernel().AddElement(family, table, SetFor(addr.ipv6), addr,
                            static_cast<uint64_t>(ttl) * MS_PER_SECOND, &added) == -1) {
        int error = errno;
        FailErrno(addr.ipv6, ("adding " + address).c_str(), error);
        return false;
    }
    Succeeded(addr.ipv6);
    if (added)
        td_dprintf("%s: %s, %s: %s\n", "AddElement", name.c_str(), Where(addr.ipv6).c_str(),
                   address.c_str());
    return added;
}

bool tfaTargetNFTset::RemoveElement(const std::string &address)
{
    nft_addr addr;
    if (!nft_addr_parse(address, &addr) || SetFor(addr.ipv6).empty()) {
        td_dprintf("%s: no set for address: %s\n", name.c_str(), address.c_str());
        return false;
    }
    if (Kernel().DelElement(family, table, SetFor(addr.ipv6), addr) == -1) {
        int error = errno;
        // An absent address in an existing set is no fault.
        if (error == ENOENT && Kernel().GetSet(family, table, SetFor(addr.ipv6), nullptr) == 0)
            return false;
        FailErrno(addr.ipv6, ("removing " + address).c_str(), error);
        return false;
    }
    Succeeded(addr.ipv6);
    td_dprintf("%s: %s, %s: %s\n", "RemoveElement", name.c_str(), Where(addr.ipv6).c_str(),
               address.c_str());
    return true;
}
