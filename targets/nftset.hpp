#pragma once

// Linux only: built where TFA_HAVE_NFT is defined.

#include "host/flow.hpp"
#include "host/json.hpp"
#include "host/plugin.hpp"
#include "targets/nft/kernel.hpp"
#include "targets/address_target.hpp"

#include <cstdint>
#include <memory>
#include <string>

// The one connection to nftables that every nftset target of a plug-in shares. By default the
// kernel's, through a netlink socket opened by the first request (so in the network namespace of
// the plug-in's worker thread); tests hand in a fake.
class tfaTargetNFTsetConfig
{
public:
    // `kernel` null: the kernel itself (tfaNftNetlink).
    explicit tfaTargetNFTsetConfig(std::unique_ptr<tfaNftKernel> kernel = nullptr);
    ~tfaTargetNFTsetConfig();

    tfaTargetNFTsetConfig(const tfaTargetNFTsetConfig &) = delete;
    tfaTargetNFTsetConfig &operator=(const tfaTargetNFTsetConfig &) = delete;

    tfaNftKernel &Kernel() { return *kernel; }

private:
    std::unique_ptr<tfaNftKernel> kernel;
};

// Puts an address of each matching flow into an nftables set, with the set's lifetime as the
// element's timeout, so that the kernel itself removes it again: there is no expiry pass. One
// target serves both address families with two sets of one table (see docs/configuration.md):
//
//   family "inet": IPv4 addresses go to `set` (ipv4_addr), IPv6 addresses to `set6` (ipv6_addr,
//                  by default the name of `set` with "6" appended);
//   family "ip":   IPv4 addresses only, to `set`;
//   family "ip6":  IPv6 addresses only, to `set6` (by default `set` itself).
//
// No request throws: a failure is written as one line naming the target, the family, the table
// and the set (a log line the first time for each cause, then debug lines until a request
// succeeds again) and the request returns false.
class tfaTargetNFTset : public tfaTargetAddress
{
public:

    static constexpr const char *DEFAULT_TABLE = "tarvix";

    // Reads "family", "table", "address_type", "ttl", "managed", "flush" (or "flush_on_create")
    // and "flush_on_destroy" from the type defaults and then from `target_config`, and "set" and
    // "set6" from `target_config` only; throws tdException for a missing set name, an unknown
    // family or a value of the wrong type. Then creates, checks and empties the sets as the flags
    // ask, whatever the kernel answers. `config` is not owned and must outlive the target.
    static std::unique_ptr<tfaTargetNFTset> Create(const std::string &name, tfaTargetNFTsetConfig *config,
                                   const json &target_config, const json &type_config,
                                                   bool install = true);

    // `set6` empty: the default for the family.
    tfaTargetNFTset(const std::string &name, tfaTargetNFTsetConfig *config, uint8_t family,
                    const std::string &table, const std::string &set, const std::string &set6,
                    AddrType addr_type, uint32_t ttl);
    // Empties the sets when TF_FLUSH_ON_DESTROY is set; table and sets stay in the kernel.
    ~tfaTargetNFTset() override;

    // When managed, creates the table and the sets that are missing; then checks every set
    // (reporting one that is missing or cannot take the target's elements); then empties the
    // sets when TF_FLUSH_ON_CREATE is set.
    void Create();

    // Adds the chosen address of the flow for "flow_intel", "dpi_update" and "dpi_complete";
    // false for any other event, for an address of a family the target does not serve, or when
    // the kernel did not add it (also when it was already present).
    bool ProcessFlow(const tfaAction &action, tdPluginProcessor::Event event,
                     std::shared_ptr<tdFlow> &flow) override;

    // True when any of `flags` is set on this target.
    bool HasFlag(uint32_t flags) const { return (this->flags & flags) != 0; }

    // Creates the table and the target's sets (with the timeout flag when ttl > 0); true when
    // all exist afterwards.
    bool CreateSets();
    // True when at least one element was removed.
    bool FlushSets();
    // True when the kernel added the address; false when it was present already (its timeout is
    // then not restarted), or on failure.
    bool AddElement(const std::string &address);
    // True when the kernel removed the address; false when it was absent, or on failure.
    bool RemoveElement(const std::string &address);
    // Whether the set for the family exists and can take the target's elements (a set of that
    // family's address type, neither constant nor interval, with the timeout flag when
    // ttl > 0). Asks the kernel until the answer is yes, then only again after a request found
    // the set missing.
    bool CheckSet(bool ipv6);

    // The set that receives addresses of the family; empty when the target serves none.
    const std::string &SetFor(bool ipv6) const { return ipv6 ? set6 : set4; }

    const uint8_t family;
    const std::string table;
    tfaTargetNFTsetConfig *const config;
    const uint32_t ttl;

private:
    struct SetState {
        bool checked = false;
        // The cause last written as a log line; 0 after a success.
        int reported = 0;
    };

    tfaNftKernel &Kernel() { return config->Kernel(); }
    // "inet tarvix blocked".
    std::string Where(bool ipv6) const;
    // Writes the failure `error` (an errno value, or a cause such as MISSING_SET) of the set.
    void Fail(bool ipv6, int error, const std::string &text);
    void FailErrno(bool ipv6, const char *doing, int error);
    void Succeeded(bool ipv6) { state[ipv6].reported = 0; }

    std::string set4;
    std::string set6;
    SetState state[2];
};
