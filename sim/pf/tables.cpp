#include "sim/pf/tables.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <set>

namespace pfsim
{
namespace
{

constexpr char RESERVED_ANCHOR[] = "_pf";

bool AcceptFlags(int flags, int accepted)
{
    return (flags & ~accepted & PFR_FLAG_ALLMASK) == 0;
}

// A NUL-terminated field with nothing but NULs after the terminator.
bool Terminated(const char *field, size_t size)
{
    const char *end = static_cast<const char *>(memchr(field, '\0', size));
    if (end == nullptr)
        return false;
    for (; end < field + size; end++)
        if (*end != '\0')
            return false;
    return true;
}

// pf strips leading slashes from a table's anchor in place.
void StripSlashes(char *anchor, size_t size)
{
    size_t off = 0;
    while (off < size && anchor[off] == '/')
        off++;
    if (off == 0)
        return;
    memmove(anchor, anchor + off, size - off);
    memset(anchor + size - off, 0, off);
}

} // namespace

bool Tables::AddrKey::operator<(const AddrKey &other) const
{
    if (family_rank != other.family_rank)
        return family_rank < other.family_rank;
    if (bytes != other.bytes)
        return bytes < other.bytes;
    return net < other.net;
}

bool Tables::ValidTable(pfr_table &record, uint32_t allowed_flags, bool no_reserved)
{
    if (record.pfrt_name[0] == '\0')
        return false;
    // pf compares with the reserved anchor before it strips leading slashes, so "/_pf" passes.
    if (no_reserved && strcmp(record.pfrt_anchor, RESERVED_ANCHOR) == 0)
        return false;
    if (!Terminated(record.pfrt_name, sizeof(record.pfrt_name)))
        return false;
    StripSlashes(record.pfrt_anchor, sizeof(record.pfrt_anchor));
    if (!Terminated(record.pfrt_anchor, sizeof(record.pfrt_anchor)))
        return false;
    return (record.pfrt_flags & ~allowed_flags) == 0;
}

bool Tables::ValidAddr(const pfr_addr &addr)
{
    unsigned width;
    switch (addr.pfra_af) {
    case AF_INET:
        width = 32;
        break;
    case AF_INET6:
        width = 128;
        break;
    default:
        return false;
    }
    if (addr.pfra_net > width)
        return false;
    const auto *bytes = reinterpret_cast<const uint8_t *>(&addr.pfra_u);
    if (addr.pfra_net < 128 && (bytes[addr.pfra_net / 8] & (0xff >> (addr.pfra_net % 8))) != 0)
        return false;
    for (size_t i = (addr.pfra_net + 7) / 8; i < sizeof(addr.pfra_u); i++)
        if (bytes[i] != 0)
            return false;
    return addr.pfra_not <= 1 && addr.pfra_fback == PFR_FB_NONE;
}

Tables::AddrKey Tables::KeyOf(const pfr_addr &addr)
{
    AddrKey key{};
    key.family_rank = addr.pfra_af == AF_INET ? 0 : 1;
    memcpy(key.bytes.data(), &addr.pfra_u, key.bytes.size());
    key.net = addr.pfra_net;
    return key;
}

pfr_addr Tables::AddrOf(const AddrKey &key, const Entry &entry)
{
    pfr_addr addr{};
    addr.pfra_af = key.family_rank == 0 ? AF_INET : AF_INET6;
    memcpy(&addr.pfra_u, key.bytes.data(), key.bytes.size());
    addr.pfra_net = key.net;
    addr.pfra_not = entry.negated ? 1 : 0;
    return addr;
}

std::string Tables::TextOf(const AddrKey &key, const Entry &entry)
{
    int family = key.family_rank == 0 ? AF_INET : AF_INET6;
    unsigned width = family == AF_INET ? 32 : 128;
    char text[INET6_ADDRSTRLEN] = "";
    inet_ntop(family, key.bytes.data(), text, sizeof(text));
    std::string address = entry.negated ? "!" : "";
    address += text;
    if (key.net != width)
        address += "/" + std::to_string(key.net);
    return address;
}

Tables::TableKey Tables::KeyOf(const pfr_table &record)
{
    return {record.pfrt_anchor, record.pfrt_name};
}

Tables::TableState *Tables::Find(const pfr_table &record)
{
    auto table = tables.find(KeyOf(record));
    return table == tables.end() ? nullptr : &table->second;
}

const Tables::TableState *Tables::Find(const pfr_table &record) const
{
    auto table = tables.find(KeyOf(record));
    return table == tables.end() ? nullptr : &table->second;
}

void Tables::Destroy(std::map<TableKey, TableState>::iterator table)
{
    std::string ruleset = table->second.ruleset;
    entry_count -= table->second.entries.size();
    tables.erase(table);
    rulesets.DetachTable(ruleset);
}

int Tables::AddTables(std::vector<pfr_table> &records, int flags, int &added)
{
    if (!AcceptFlags(flags, PFR_FLAG_DUMMY))
        return EINVAL;
    // pf creates each table's anchors as it goes, so a later record sees the anchors of an
    // earlier one; everything is undone when a record fails or the request is a dry run.
    Rulesets anchors = rulesets;
    std::map<TableKey, TableState> created;
    for (auto &record : records) {
        if (!ValidTable(record, PFR_TFLAG_USRMASK, true))
            return EINVAL;
        TableKey key = KeyOf(record);
        if (tables.count(key) != 0 || created.count(key) != 0)
            continue;
        std::string ruleset;
        if (!anchors.Resolve(key.first, ruleset))
            return ENOMEM;
        anchors.AttachTable(ruleset);
        created[key] = TableState{record.pfrt_flags | PFR_TFLAG_ACTIVE, ruleset, {}};
    }
    if (!(flags & PFR_FLAG_DUMMY)) {
        tables.insert(created.begin(), created.end());
        rulesets = std::move(anchors);
    }
    added = static_cast<int>(created.size());
    return 0;
}

int Tables::DeleteTables(std::vector<pfr_table> &records, int flags, int &deleted)
{
    if (!AcceptFlags(flags, PFR_FLAG_DUMMY))
        return EINVAL;
    std::set<TableKey> found;
    for (auto &record : records) {
        if (!ValidTable(record, 0, true))
            return EINVAL;
        if (tables.count(KeyOf(record)) != 0)
            found.insert(KeyOf(record));
    }
    if (!(flags & PFR_FLAG_DUMMY))
        for (const auto &key : found)
            Destroy(tables.find(key));
    deleted = static_cast<int>(found.size());
    return 0;
}

int Tables::ClearAddrs(pfr_table &record, int flags, int &deleted)
{
    if (!AcceptFlags(flags, PFR_FLAG_DUMMY) || !ValidTable(record, 0, true))
        return EINVAL;
    auto table = tables.find(KeyOf(record));
    if (table == tables.end())
        return ESRCH;
    if (table->second.flags & PFR_TFLAG_CONST)
        return EPERM;
    deleted = static_cast<int>(table->second.entries.size());
    if (flags & PFR_FLAG_DUMMY)
        return 0;
    entry_count -= table->second.entries.size();
    table->second.entries.clear();
    return 0;
}

int Tables::AddAddrs(pfr_table &record, std::vector<pfr_addr> &addrs, int flags, int64_t now,
                     int &added)
{
    if (!AcceptFlags(flags, PFR_FLAG_DUMMY | PFR_FLAG_FEEDBACK) || !ValidTable(record, 0, true))
        return EINVAL;
    TableState *table = Find(record);
    if (table == nullptr)
        return ESRCH;
    if (table->flags & PFR_TFLAG_CONST)
        return EPERM;
    std::map<AddrKey, Entry> inserted;
    for (auto &addr : addrs) {
        if (!ValidAddr(addr))
            return EINVAL;
        AddrKey key = KeyOf(addr);
        auto present = table->entries.find(key);
        bool duplicate = inserted.count(key) != 0;
        if (flags & PFR_FLAG_FEEDBACK) {
            if (duplicate)
                addr.pfra_fback = PFR_FB_DUPLICATE;
            else if (present == table->entries.end())
                addr.pfra_fback = PFR_FB_ADDED;
            else if (present->second.negated != (addr.pfra_not != 0))
                addr.pfra_fback = PFR_FB_CONFLICT;
            else
                addr.pfra_fback = PFR_FB_NONE;
        }
        if (present == table->entries.end() && !duplicate)
            inserted[key] = Entry{addr.pfra_not != 0, now};
    }
    if (entry_count + inserted.size() > entry_limit)
        return ENOMEM;
    if (!(flags & PFR_FLAG_DUMMY)) {
        table->entries.insert(inserted.begin(), inserted.end());
        entry_count += inserted.size();
    }
    added = static_cast<int>(inserted.size());
    return 0;
}

int Tables::DeleteAddrs(pfr_table &record, std::vector<pfr_addr> &addrs, int flags, int &deleted)
{
    if (!AcceptFlags(flags, PFR_FLAG_DUMMY | PFR_FLAG_FEEDBACK) || !ValidTable(record, 0, true))
        return EINVAL;
    TableState *table = Find(record);
    if (table == nullptr)
        return ESRCH;
    if (table->flags & PFR_TFLAG_CONST)
        return EPERM;
    std::set<AddrKey> marked;
    for (auto &addr : addrs) {
        if (!ValidAddr(addr))
            return EINVAL;
        AddrKey key = KeyOf(addr);
        auto present = table->entries.find(key);
        bool matches =
            present != table->entries.end() && present->second.negated == (addr.pfra_not != 0);
        if (flags & PFR_FLAG_FEEDBACK) {
            if (present == table->entries.end())
                addr.pfra_fback = PFR_FB_NONE;
            else if (!matches)
                addr.pfra_fback = PFR_FB_CONFLICT;
            else if (marked.count(key) != 0)
                addr.pfra_fback = PFR_FB_DUPLICATE;
            else
                addr.pfra_fback = PFR_FB_DELETED;
        }
        if (matches)
            marked.insert(key);
    }
    if (!(flags & PFR_FLAG_DUMMY)) {
        for (const auto &key : marked)
            table->entries.erase(key);
        entry_count -= marked.size();
    }
    deleted = static_cast<int>(marked.size());
    return 0;
}

int Tables::GetAstats(pfr_table &record, int flags, std::vector<pfr_astats> &stats, int &size) const
{
    if (!AcceptFlags(flags, 0) || !ValidTable(record, 0, false))
        return EINVAL;
    const TableState *table = Find(record);
    if (table == nullptr)
        return ESRCH;
    int count = static_cast<int>(table->entries.size());
    if (count <= size) {
        for (const auto &entry : table->entries) {
            pfr_astats stat{};
            stat.pfras_a = AddrOf(entry.first, entry.second);
            stat.pfras_tzero = static_cast<long>(entry.second.tzero);
            if (!(table->flags & PFR_TFLAG_COUNTERS))
                stat.pfras_a.pfra_fback = PFR_FB_NOCOUNT;
            stats.push_back(stat);
        }
    }
    size = count;
    return 0;
}

void Tables::Clear()
{
    tables.clear();
    entry_count = 0;
    entry_limit = DEFAULT_ENTRY_LIMIT;
}

std::vector<Table> Tables::List() const
{
    std::vector<Table> list;
    for (const auto &table : tables) {
        Table item{table.first.first, table.first.second, table.second.flags, {}};
        for (const auto &entry : table.second.entries)
            item.addresses.push_back({TextOf(entry.first, entry.second), entry.second.tzero});
        list.push_back(std::move(item));
    }
    return list;
}

} // namespace pfsim
