#include "targets/pftable.hpp"

#include "host/exception.hpp"
#include "host/log.hpp"
#include "targets/pf/debug.hpp"
#include "targets/pf/host_entry.hpp"
#include "targets/pf/pf_device.hpp"
#include "targets/pf/pfr_buf.hpp"
#include "targets/pf/pfvar.hpp"
#include "targets/pf/ruleset.hpp"
#include "targets/pf/table.hpp"
#include "targets/target_keys.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace
{

constexpr char MAIN_RULESET[] = "*";
constexpr char LOCAL_ADDRESS[] = "local";

// A pf record buffer released when it goes out of scope.
struct ScopedBuf {
    explicit ScopedBuf(int kind) : buf{kind, 0, 0, nullptr} {}
    ~ScopedBuf() { pfr_buf_clear(&buf); }
    ScopedBuf(const ScopedBuf &) = delete;
    ScopedBuf &operator=(const ScopedBuf &) = delete;
    pfr_buf buf;
};

// Parses `address` into the BUF_ADDRS buffer `addrs`; false after the parser's message.
bool parse_address(const std::string &address, pfr_buf &addrs)
{
    host_entry *hosts = pfctl_host(address.c_str());
    if (hosts == nullptr)
        return false;
    int result = pfctl_append_host(&addrs, hosts);
    pfctl_free_host(hosts);
    return result == 0;
}

} // namespace

std::unique_ptr<tfaTargetPFtable> tfaTargetPFtable::Create(const std::string &name, tfaTargetPFtableConfig *config,
                                           const json &target_config, const json &type_config,
                                           bool install)
{
    std::string anchor_name = MAIN_RULESET;
    std::string table_name;
    std::string address_type;
    uint32_t ttl = 0;
    bool managed = false, flush_on_create = false, flush_on_destroy = false, auto_expire = false;

    tfaTargetKeys keys(name, type_config, target_config);
    keys.String("anchor_name", anchor_name);
    keys.RequiredTargetString("table_name", table_name);
    keys.String("address_type", address_type);
    keys.Unsigned("ttl", ttl);
    keys.Bool("managed", managed);
    keys.Bool("flush_on_create", flush_on_create);
    keys.Bool("flush_on_destroy", flush_on_destroy);
    keys.Bool("auto_expire", auto_expire);

    td_dprintf("auto_expire: %s\n", auto_expire ? "true" : "false");

    std::unique_ptr<tfaTargetPFtable> target(
        new tfaTargetPFtable(name, config, anchor_name, table_name,
                             address_type == LOCAL_ADDRESS ? ADDR_LOCAL : ADDR_OTHER, ttl));
    if (!install)
        return target;
    target->flags = (managed ? TF_MANAGED : TF_NONE) |
                    (flush_on_create ? TF_FLUSH_ON_CREATE : TF_NONE) |
                    (flush_on_destroy ? TF_FLUSH_ON_DESTROY : TF_NONE) |
                    (auto_expire ? TF_AUTO_EXPIRE : TF_NONE);
    target->Create();
    return target;
}

tfaTargetPFtable::tfaTargetPFtable(const std::string &name, tfaTargetPFtableConfig *config,
                                   const std::string &anchor_name, const std::string &table_name,
                                   AddrType addr_type, uint32_t ttl)
    : tfaTargetAddress(TT_PFTABLE, name, 0, addr_type), anchor_name(anchor_name),
      table_name(table_name), config(config), ttl(ttl)
{
}

tfaTargetPFtable::~tfaTargetPFtable()
{
    if (Flush(TF_FLUSH_ON_DESTROY))
        FlushTable();
}

void tfaTargetPFtable::Create()
{
    if (Flush(TF_MANAGED))
        CreateTable();
    if (Flush(static_cast<tfaTargetFlags>(TF_MANAGED | TF_FLUSH_ON_CREATE)))
        FlushTable();
}

void tfaTargetPFtable::Update()
{
    if (ttl != 0)
        ExpireTableEntries();
}

bool tfaTargetPFtable::ProcessFlow(const tfaAction &action, tdPluginProcessor::Event event,
                                   std::shared_ptr<tdFlow> &flow)
{
    const tdAddr *addr = FlowAddress(event, flow);
    if (addr == nullptr)
        return false;
    return AddTableEntry(addr->GetString());
}

bool tfaTargetPFtable::Flush(const tfaTarget::tfaTargetFlags &flags) const
{
    return (this->flags & flags) != 0;
}

bool tfaTargetPFtable::InitTable(pfr_table &table, int table_flags) const
{
    return pfctl_init_table(&table, anchor_name, table_name, table_flags);
}

int tfaTargetPFtable::Descriptor() const
{
    return config != nullptr ? config->fd : -1;
}

void tfaTargetPFtable::ReportEntryFailure(const pfr_table &table, const std::string &address,
                                          const char *action) const
{
    switch (errno) {
    case 0:
        break;
    case ENOENT:
    case EINVAL:
        pf_dprintf("%s: anchor doesn't exist: %s\n", table_name.c_str(), table.pfrt_anchor);
        break;
    case ESRCH:
        pf_dprintf("%s: table doesn't exist.\n", table_name.c_str());
        break;
    default:
        pf_dprintf("%s: error %s entry: %s: %s\n", table_name.c_str(), action, table.pfrt_anchor,
                   address.c_str());
        break;
    }
}

bool tfaTargetPFtable::CreateTable()
{
    pfr_table table;
    int added = 0;

    if (!InitTable(table, PFR_TFLAG_PERSIST | PFR_TFLAG_COUNTERS))
        return false;
    if (pfr_add_tables(Descriptor(), &table, 1, &added) == -1) {
        pf_dprintf("%s: error creating table: %s\n", table_name.c_str(), strerror(errno));
        return false;
    }
    pf_dprintf("%s: table %s.\n", table_name.c_str(), added > 0 ? "created" : "exists");
    return true;
}

bool tfaTargetPFtable::FlushTable()
{
    pfr_table table;
    int deleted = 0;

    if (!InitTable(table))
        return false;
    // A stale errno must not be reported for a table that was merely empty.
    errno = 0;
    int result = pfr_clr_addrs(Descriptor(), &table, &deleted);
    if (result == 0) {
        added_at.clear();
        confirmed.clear();
    }
    if (result == 0 && deleted > 0) {
        pf_dprintf("%s: %s, %s: %d\n", "FlushTable", anchor_name.c_str(), table_name.c_str(),
                   deleted);
        return true;
    }
    if (errno != 0)
        pf_dprintf("%s: %s, %s: %s\n", "FlushTable", anchor_name.c_str(), table_name.c_str(),
                   strerror(errno));
    return false;
}

bool tfaTargetPFtable::DestroyTable()
{
    pfr_table table;
    int deleted = 0;

    if (!InitTable(table))
        return false;
    int result = pfr_del_tables(Descriptor(), &table, 1, &deleted);
    if (result == 0 && deleted > 0) {
        pf_dprintf("%s: %s, %s\n", "DestroyTable", anchor_name.c_str(), table_name.c_str());
        return true;
    }
    // pf answers a missing table with success and nothing deleted.
    if (result == 0)
        errno = ESRCH;
    pf_dprintf("%s: %s, %s: %s\n", "DestroyTable", anchor_name.c_str(), table_name.c_str(),
               strerror(errno));
    return false;
}

bool tfaTargetPFtable::AddTableEntry(const std::string &address)
{
    pfr_table table;
    ScopedBuf addrs(BUF_ADDRS);
    int added = 0;

    if (confirmed.count(address) != 0) {
        skipped_adds++;
        return false;
    }
    if (!InitTable(table) || !parse_address(address, addrs.buf))
        return false;
    // Address parsing may leave errno set; an address that was already present must read as 0.
    errno = 0;
    if (pfr_add_addrs(Descriptor(), &table, static_cast<const pfr_addr *>(addrs.buf.storage),
                      addrs.buf.count, &added) == 0 &&
        added > 0) {
        pf_dprintf("%s: %s, %s: %s\n", "AddTableEntry", anchor_name.c_str(), table_name.c_str(),
                   address.c_str());
        if (ttl != 0)
            added_at.emplace(address, static_cast<int64_t>(pf_time()));
        return true;
    }
    ReportEntryFailure(table, address, "adding");
    return false;
}

bool tfaTargetPFtable::RemoveTableEntry(const std::string &address)
{
    pfr_table table;
    ScopedBuf addrs(BUF_ADDRS);
    int deleted = 0;

    if (!InitTable(table) || !parse_address(address, addrs.buf))
        return false;
    errno = 0;
    if (pfr_del_addrs(Descriptor(), &table, static_cast<const pfr_addr *>(addrs.buf.storage),
                      addrs.buf.count, &deleted) == -1) {
        ReportEntryFailure(table, address, "removing");
        return false;
    }
    added_at.erase(address);
    confirmed.erase(address);
    if (deleted > 0) {
        pf_dprintf("%s: %s, %s: %s\n", "RemoveTableEntry", anchor_name.c_str(), table_name.c_str(),
                   address.c_str());
        return true;
    }
    errno = ENOENT;
    pf_dprintf("%s: %s, %s: %s: %s\n", "RemoveTableEntry", anchor_name.c_str(), table_name.c_str(),
               address.c_str(), strerror(ENOENT));
    return false;
}

bool tfaTargetPFtable::ExpireTableEntries()
{
    pfr_table table;
    ScopedBuf stats(BUF_ASTATS);
    ScopedBuf expired(BUF_ADDRS);

    if (!InitTable(table))
        return false;
    int64_t now = static_cast<int64_t>(pf_time());
    confirmed.clear();
    if (pfr_get_astats(Descriptor(), &table, &stats.buf) == -1) {
        if (errno != EINVAL || added_at.empty())
            return false;
        if (!limit_reported)
            td_printf("%s: table larger than one pf request may carry (net.pf.request_maxcount); "
                      "expiring the addresses this target added in requests of %d. Raise "
                      "net.pf.request_maxcount (sysctl) for full expiry.\n",
                      table_name.c_str(), REQUEST_LIMIT);
        limit_reported = true;
        return ExpireAdded(table, now);
    }
    if (stats.buf.count == 0)
        return false;

    for (int i = 0; i < stats.buf.count; i++) {
        auto *stat = static_cast<pfr_astats *>(pfr_buf_at(&stats.buf, i));
        stat->pfras_a.pfra_fback = PFR_FB_NONE;
        int64_t tzero = static_cast<int64_t>(stat->pfras_tzero);
        if (tzero == 0 || now - tzero <= static_cast<int64_t>(ttl)) {
            Confirm(stat->pfras_a);
            continue;
        }
        if (pfr_buf_add(&expired.buf, &stat->pfras_a) == -1) {
            pf_dprintf("%s: table_expire: duplicate error\n", table_name.c_str());
            return false;
        }
    }
    if (expired.buf.count == 0)
        return true;
    return DeleteAddresses(table, expired.buf);
}

bool tfaTargetPFtable::ExpireAdded(const pfr_table &table, int64_t now)
{
    ScopedBuf expired(BUF_ADDRS);
    std::vector<std::string> gone;
    for (const auto &[address, since] : added_at) {
        if (now - since <= static_cast<int64_t>(ttl))
            continue;
        if (!parse_address(address, expired.buf))
            return false;
        gone.push_back(address);
        if (expired.buf.count == REQUEST_LIMIT && !DeleteAddresses(table, expired.buf))
            return false;
    }
    if (expired.buf.count > 0 && !DeleteAddresses(table, expired.buf))
        return false;
    for (const auto &address : gone)
        added_at.erase(address);
    return true;
}

void tfaTargetPFtable::Confirm(const pfr_addr &addr)
{
    char text[INET6_ADDRSTRLEN];
    if (inet_ntop(addr.pfra_af, &addr.pfra_u, text, sizeof(text)) == nullptr)
        return;
    if (added_at.count(text) != 0)
        confirmed.insert(text);
}

// Deletes the addresses of `addrs` and empties it.
bool tfaTargetPFtable::DeleteAddresses(const pfr_table &table, pfr_buf &addrs)
{
    int deleted = 0;
    int result = pfr_del_addrs(Descriptor(), &table, static_cast<const pfr_addr *>(addrs.storage),
                               addrs.count, &deleted);
    pfr_buf_clear(&addrs);
    if (result == -1)
        return false;
    if (deleted > 0)
        pf_dprintf("%s: %s, %s: %d\n", "ExpireTableEntries", anchor_name.c_str(),
                   table_name.c_str(), deleted);
    return true;
}

bool tfaTargetPFtable::GetAnchors(std::set<std::string> &anchors, const std::string &path)
{
    uint32_t count = 0;
    char anchor[sizeof(pfioc_ruleset::name)];

    if (path.find('\0') != std::string::npos) {
        errno = EINVAL;
        pf_dprintf("%s: DIOCGETRULESETS: %s\n", name.c_str(), strerror(errno));
        return false;
    }
    if (pfctl_get_rulesets(Descriptor(), path.c_str(), &count) == -1) {
        pf_dprintf("%s: DIOCGETRULESETS: %s\n", name.c_str(), strerror(errno));
        return false;
    }
    for (uint32_t index = 0; index < count; index++) {
        if (pfctl_get_ruleset(Descriptor(), path.c_str(), index, anchor, sizeof(anchor)) == -1) {
            pf_dprintf("%s: DIOCGETRULESETS: %s\n", name.c_str(), strerror(errno));
            return false;
        }
        anchors.insert(path.empty() ? std::string(anchor) : path + "/" + anchor);
    }
    return true;
}

bool tfaTargetPFtable::FlushAnchor(const std::string &anchor)
{
    // The empty path is the main ruleset: emptying the firewall's own rules is never a table
    // target's business.
    if (anchor.empty())
        errno = EINVAL;
    else if (pfctl_flush_anchor(Descriptor(), anchor.c_str()) == 0)
        return true;
    pf_dprintf("%s: error while flushing anchor: %s\n", table_name.c_str(), anchor.c_str());
    return false;
}
