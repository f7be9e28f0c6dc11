#pragma once

#include "sim/pf/pfsim.hpp"
#include "sim/pf/rulesets.hpp"
#include "targets/pf/pfvar.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace pfsim
{

// pf's tables and their address sets, answering the table and address requests after the
// request's records have been copied in. Results are errno values, 0 on success; on failure no
// table and no out-value changes.
class Tables
{
public:
    static constexpr size_t DEFAULT_ENTRY_LIMIT = 200000;

    explicit Tables(Rulesets &rulesets) : rulesets(rulesets) {}

    int AddTables(std::vector<pfr_table> &records, int flags, int &added);
    int DeleteTables(std::vector<pfr_table> &records, int flags, int &deleted);
    int ClearAddrs(pfr_table &record, int flags, int &deleted);
    // `addrs` receive their feedback codes when `flags` has PFR_FLAG_FEEDBACK.
    int AddAddrs(pfr_table &record, std::vector<pfr_addr> &addrs, int flags, int64_t now,
                 int &added);
    int DeleteAddrs(pfr_table &record, std::vector<pfr_addr> &addrs, int flags, int &deleted);
    // Fills `stats` when the table's entries fit in `size`; `size` becomes the entry count.
    int GetAstats(pfr_table &record, int flags, std::vector<pfr_astats> &stats, int &size) const;

    std::vector<Table> List() const;
    void SetEntryLimit(size_t entries) { entry_limit = entries; }
    // Forgets every table and restores the default entry limit.
    void Clear();

private:
    // An address in the order pf walks a table: IPv4 before IPv6, then by address and prefix.
    struct AddrKey {
        uint8_t family_rank;
        std::array<uint8_t, 16> bytes;
        uint8_t net;
        bool operator<(const AddrKey &other) const;
    };
    struct Entry {
        bool negated;
        int64_t tzero;
    };
    struct TableState {
        uint32_t flags;
        std::string ruleset; // the anchor the table hangs in, as Rulesets::Resolve found it
        std::map<AddrKey, Entry> entries;
    };
    using TableKey = std::pair<std::string, std::string>; // anchor, name

    static bool ValidTable(pfr_table &record, uint32_t allowed_flags, bool no_reserved);
    static bool ValidAddr(const pfr_addr &addr);
    static AddrKey KeyOf(const pfr_addr &addr);
    static pfr_addr AddrOf(const AddrKey &key, const Entry &entry);
    static std::string TextOf(const AddrKey &key, const Entry &entry);
    static TableKey KeyOf(const pfr_table &record);

    // The active table a valid record names, or null.
    TableState *Find(const pfr_table &record);
    const TableState *Find(const pfr_table &record) const;
    // A table that loses ACTIVE is destroyed: no rule refers to it, and no transaction keeps an
    // inactive copy.
    void Destroy(std::map<TableKey, TableState>::iterator table);

    Rulesets &rulesets;
    std::map<TableKey, TableState> tables;
    size_t entry_count = 0;
    size_t entry_limit = DEFAULT_ENTRY_LIMIT;
};

} // namespace pfsim
