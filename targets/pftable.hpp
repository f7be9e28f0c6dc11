#pragma once

#include "host/flow.hpp"
#include "host/json.hpp"
#include "host/plugin.hpp"
#include "targets/pftable_config.hpp"
#include "targets/address_target.hpp"

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>

struct pfr_addr;
struct pfr_buf;
struct pfr_table;

// Puts an address of each matching flow into a pf table and removes it again once it has been
// there longer than `ttl` seconds. Every table operation reports its own failure as a debug line
// and returns false; none throws. Requests go through the shared device handle, so they fail with
// EBADF until the loader has opened it.
class tfaTargetPFtable : public tfaTargetAddress
{
public:

    // Reads "anchor_name", "table_name" (from `target_config` only), "address_type", "ttl",
    // "managed", "flush_on_create", "flush_on_destroy" and "auto_expire"; throws tdException for a
    // missing table name or a value of the wrong type. Creates and empties the table when the
    // flags ask for it, whatever pf answers. `config` is not owned and must outlive the target.
    // Without `install` the keys are only checked: the target has no flags and never touches pf.
    static std::unique_ptr<tfaTargetPFtable> Create(const std::string &name, tfaTargetPFtableConfig *config,
                                    const json &target_config, const json &type_config,
                                    bool install = true);

    tfaTargetPFtable(const std::string &name, tfaTargetPFtableConfig *config,
                     const std::string &anchor_name, const std::string &table_name,
                     AddrType addr_type, uint32_t ttl);
    // Empties the table when TF_FLUSH_ON_DESTROY is set; the table itself stays in pf.
    ~tfaTargetPFtable() override;

    // Creates the table when managed, then empties it when managed or flush-on-create.
    void Create();

    // Expires entries older than `ttl`; does nothing when `ttl` is 0.
    void Update() override;
    // Adds the chosen address of the flow for "flow_intel", "dpi_update" and "dpi_complete";
    // false for any other event or when pf did not add it.
    bool ProcessFlow(const tfaAction &action, tdPluginProcessor::Event event,
                     std::shared_ptr<tdFlow> &flow) override;

    // True when any of `flags` is set on this target.
    bool Flush(const tfaTarget::tfaTargetFlags &flags) const;

    // Creates the table as persistent with counters; true when it was created or already existed.
    bool CreateTable();
    // True when at least one address was removed.
    bool FlushTable();
    // True when pf deleted the table.
    bool DestroyTable();
    // True when pf added the address; false when it was already present (or the last expiry
    // pass found it there, and no request was made).
    bool AddTableEntry(const std::string &address);
    // Adds skipped because the last expiry pass found the address in the table.
    uint64_t GetSkippedAdds() const { return skipped_adds; }
    // True when pf removed the address; false when it was absent.
    bool RemoveTableEntry(const std::string &address);
    // Removes every address whose zero time lies more than `ttl` seconds back. A table larger
    // than one pf request may carry cannot be read: then the addresses this target added expire
    // by the time it added them, deleted in requests within the limit, and the limit is reported
    // once. False when the table is empty or cannot be read, or when a deletion fails.
    bool ExpireTableEntries();

    // pf's default net.pf.request_maxcount: the most addresses one request may carry.
    static constexpr int REQUEST_LIMIT = 65535;
    // Inserts the full path of every anchor directly under `path` ("" is the main ruleset) into
    // `anchors`; true when every request succeeded.
    bool GetAnchors(std::set<std::string> &anchors, const std::string &path);
    // Replaces the filter and scrub rules of `anchor` with none. Refuses the empty path, the
    // main ruleset, with EINVAL.
    bool FlushAnchor(const std::string &anchor);

    const std::string anchor_name;
    const std::string table_name;
    tfaTargetPFtableConfig *const config;
    const uint32_t ttl;

private:
    // Fills `table` from the target's anchor and table name; false after pfctl_init_table's
    // message.
    bool InitTable(pfr_table &table, int table_flags = 0) const;
    // The shared descriptor; -1 (so EBADF) without a device handle.
    int Descriptor() const;
    // Names the failure errno holds after adding or removing `address` (`action`: "adding",
    // "removing"); silent when errno is 0.
    void ReportEntryFailure(const pfr_table &table, const std::string &address,
                            const char *action) const;
    // Expires what `added_at` holds, in requests of at most REQUEST_LIMIT addresses.
    bool ExpireAdded(const pfr_table &table, int64_t now);
    bool DeleteAddresses(const pfr_table &table, pfr_buf &addrs);
    // Notes an address the expiry pass found and left, when this target added it.
    void Confirm(const pfr_addr &addr);

    // When this target first added each address that is still in the table, by pf's clock.
    std::unordered_map<std::string, int64_t> added_at;
    // Addresses this target added that the last expiry pass found in the table: adding one again
    // would change nothing, so no request is made. An address an operator removed meanwhile is
    // added again once the next pass no longer finds it.
    std::unordered_set<std::string> confirmed;
    uint64_t skipped_adds = 0;
    bool limit_reported = false;
};
