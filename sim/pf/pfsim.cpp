#include "sim/pf/pfsim.hpp"

#include "sim/pf/rulesets.hpp"
#include "sim/pf/tables.hpp"
#include "targets/pf/pfvar.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <optional>
#include <set>

namespace pfsim
{
namespace
{

// net.pf.request_maxcount: the most elements one request may carry.
constexpr int REQUEST_MAXCOUNT = 65535;
// Descriptors start high so that they are not mistaken for the process's own.
constexpr int FIRST_DESCRIPTOR = 1000;

struct RequestInfo {
    unsigned long number;
    Request kind;
    bool reads_only;
};

constexpr RequestInfo REQUESTS[] = {
    {DIOCGETSTATUS, Request::STATUS, true},       {DIOCGETRULESETS, Request::GET_RULESETS, true},
    {DIOCGETRULESET, Request::GET_RULESET, true}, {DIOCRADDTABLES, Request::ADD_TABLES, false},
    {DIOCRDELTABLES, Request::DEL_TABLES, false}, {DIOCRCLRADDRS, Request::CLR_ADDRS, false},
    {DIOCRADDADDRS, Request::ADD_ADDRS, false},   {DIOCRDELADDRS, Request::DEL_ADDRS, false},
    {DIOCRGETASTATS, Request::GET_ASTATS, true},  {DIOCXBEGIN, Request::XBEGIN, false},
    {DIOCXCOMMIT, Request::XCOMMIT, false},
};

const RequestInfo *FindRequest(unsigned long number)
{
    for (const auto &info : REQUESTS)
        if (info.number == number)
            return &info;
    return nullptr;
}

// The caller's array of `count` records, copied in as pf does.
template <class T> int CopyIn(const void *buffer, int count, std::vector<T> &records)
{
    if (count > 0 && buffer == nullptr)
        return EFAULT;
    records.resize(static_cast<size_t>(count));
    if (count > 0)
        memcpy(records.data(), buffer, records.size() * sizeof(T));
    return 0;
}

// Table requests check the element size first and answer a count out of range with ENOMEM.
int CopyInTables(const pfioc_table &io, std::vector<pfr_table> &records)
{
    if (io.pfrio_esize != static_cast<int>(sizeof(pfr_table)))
        return ENODEV;
    if (io.pfrio_size < 0 || io.pfrio_size > REQUEST_MAXCOUNT)
        return ENOMEM;
    return CopyIn(io.pfrio_buffer, io.pfrio_size, records);
}

template <class T> void CopyOut(const std::vector<T> &records, void *buffer)
{
    if (!records.empty())
        memcpy(buffer, records.data(), records.size() * sizeof(T));
}

class Model
{
public:
    std::mutex lock;

    Model() : tables(rulesets) {}

    int Open(const char *path, int flags);
    int Close(int fd);
    int Dispatch(int fd, unsigned long request, void *arg);
    int64_t Now() const { return clock ? *clock : static_cast<int64_t>(time(nullptr)); }
    void Reset();

    std::set<std::string> devices;
    std::map<int, bool> descriptors; // descriptor, writable
    int next_descriptor = FIRST_DESCRIPTOR;
    std::optional<int64_t> clock;
    bool running = false;
    uint64_t counts[REQUEST_KINDS] = {};
    int faults[REQUEST_KINDS] = {};
    Rulesets rulesets;
    Tables tables;

private:
    static bool ChangesAllowed(const RequestInfo &info, const void *arg);
    int Status(void *arg);
    int RulesetRequest(Request kind, void *arg);
    int TableRequest(Request kind, void *arg);
    int AddTables(pfioc_table &io);
    int DeleteTables(pfioc_table &io);
    int ClearAddrs(pfioc_table &io);
    int ChangeAddrs(Request kind, pfioc_table &io);
    int GetAstats(pfioc_table &io);
    int TransactionRequest(Request kind, void *arg);
};

Model &model()
{
    // Never destroyed, so that descriptors closed during exit still find it.
    static Model *instance = new Model();
    return *instance;
}

int Model::Open(const char *path, int flags)
{
    if (path == nullptr)
        return -EFAULT;
    if (devices.count(path) == 0)
        return -ENOENT;
    int fd = next_descriptor++;
    descriptors[fd] = (flags & O_ACCMODE) != O_RDONLY;
    return fd;
}

int Model::Close(int fd)
{
    return descriptors.erase(fd) == 0 ? EBADF : 0;
}

void Model::Reset()
{
    devices.clear();
    descriptors.clear();
    clock.reset();
    running = false;
    std::fill(std::begin(counts), std::end(counts), 0);
    std::fill(std::begin(faults), std::end(faults), 0);
    tables.Clear();
    rulesets.Clear();
}

// A read-only descriptor may still add or delete tables in a dry run.
bool Model::ChangesAllowed(const RequestInfo &info, const void *arg)
{
    if (info.reads_only)
        return true;
    if ((info.kind != Request::ADD_TABLES && info.kind != Request::DEL_TABLES) || arg == nullptr)
        return false;
    return (static_cast<const pfioc_table *>(arg)->pfrio_flags & PFR_FLAG_DUMMY) != 0;
}

int Model::Dispatch(int fd, unsigned long request, void *arg)
{
    auto descriptor = descriptors.find(fd);
    if (descriptor == descriptors.end())
        return EBADF;
    const RequestInfo *info = FindRequest(request);
    if (!descriptor->second && (info == nullptr || !ChangesAllowed(*info, arg)))
        return EACCES;
    if (info == nullptr)
        return ENODEV;
    int kind = static_cast<int>(info->kind);
    counts[kind]++;
    if (faults[kind] != 0) {
        int error = faults[kind];
        faults[kind] = 0;
        return error;
    }
    if (arg == nullptr)
        return EFAULT;
    switch (info->kind) {
    case Request::STATUS:
        return Status(arg);
    case Request::GET_RULESETS:
    case Request::GET_RULESET:
        return RulesetRequest(info->kind, arg);
    case Request::XBEGIN:
    case Request::XCOMMIT:
        return TransactionRequest(info->kind, arg);
    default:
        return TableRequest(info->kind, arg);
    }
}

int Model::Status(void *arg)
{
    pf_status status{};
    status.running = running ? 1 : 0;
    memcpy(arg, &status, sizeof(status));
    return 0;
}

int Model::RulesetRequest(Request kind, void *arg)
{
    pfioc_ruleset ruleset;
    memcpy(&ruleset, arg, sizeof(ruleset));
    ruleset.path[sizeof(ruleset.path) - 1] = '\0';
    std::string path = Rulesets::Normalize(ruleset.path);
    int error;
    if (kind == Request::GET_RULESETS) {
        error = rulesets.CountChildren(path, ruleset.nr);
    } else {
        std::string name;
        error = rulesets.ChildName(path, ruleset.nr, name);
        memset(ruleset.name, 0, sizeof(ruleset.name));
        memcpy(ruleset.name, name.data(), std::min(name.size(), sizeof(ruleset.name) - 1));
    }
    if (error == 0)
        memcpy(arg, &ruleset, sizeof(ruleset));
    return error;
}

int Model::TableRequest(Request kind, void *arg)
{
    pfioc_table io;
    memcpy(&io, arg, sizeof(io));
    int error;
    switch (kind) {
    case Request::ADD_TABLES:
        error = AddTables(io);
        break;
    case Request::DEL_TABLES:
        error = DeleteTables(io);
        break;
    case Request::CLR_ADDRS:
        error = ClearAddrs(io);
        break;
    case Request::GET_ASTATS:
        error = GetAstats(io);
        break;
    default:
        error = ChangeAddrs(kind, io);
        break;
    }
    if (error == 0)
        memcpy(arg, &io, sizeof(io));
    return error;
}

int Model::AddTables(pfioc_table &io)
{
    std::vector<pfr_table> records;
    int error = CopyInTables(io, records);
    return error != 0 ? error : tables.AddTables(records, io.pfrio_flags, io.pfrio_nadd);
}

int Model::DeleteTables(pfioc_table &io)
{
    std::vector<pfr_table> records;
    int error = CopyInTables(io, records);
    return error != 0 ? error : tables.DeleteTables(records, io.pfrio_flags, io.pfrio_ndel);
}

int Model::ClearAddrs(pfioc_table &io)
{
    if (io.pfrio_esize != 0)
        return ENODEV;
    return tables.ClearAddrs(io.pfrio_table, io.pfrio_flags, io.pfrio_ndel);
}

int Model::ChangeAddrs(Request kind, pfioc_table &io)
{
    if (io.pfrio_esize != static_cast<int>(sizeof(pfr_addr)))
        return ENODEV;
    if (io.pfrio_size < 0 || io.pfrio_size > REQUEST_MAXCOUNT)
        return EINVAL;
    std::vector<pfr_addr> addrs;
    int error = CopyIn(io.pfrio_buffer, io.pfrio_size, addrs);
    if (error != 0)
        return error;
    if (kind == Request::ADD_ADDRS)
        error = tables.AddAddrs(io.pfrio_table, addrs, io.pfrio_flags, Now(), io.pfrio_nadd);
    else
        error = tables.DeleteAddrs(io.pfrio_table, addrs, io.pfrio_flags, io.pfrio_ndel);
    if (error == 0 && (io.pfrio_flags & PFR_FLAG_FEEDBACK))
        CopyOut(addrs, io.pfrio_buffer);
    return error;
}

int Model::GetAstats(pfioc_table &io)
{
    if (io.pfrio_esize != static_cast<int>(sizeof(pfr_astats)))
        return ENODEV;
    if (io.pfrio_size < 0 || io.pfrio_size > REQUEST_MAXCOUNT)
        return EINVAL;
    if (io.pfrio_size > 0 && io.pfrio_buffer == nullptr)
        return EFAULT;
    // pf copies out a zeroed buffer of the caller's whole capacity, filled only when the
    // table fits.
    size_t capacity = static_cast<size_t>(io.pfrio_size);
    std::vector<pfr_astats> stats;
    int error = tables.GetAstats(io.pfrio_table, io.pfrio_flags, stats, io.pfrio_size);
    if (error == 0) {
        stats.resize(capacity);
        CopyOut(stats, io.pfrio_buffer);
    }
    return error;
}

int Model::TransactionRequest(Request kind, void *arg)
{
    pfioc_trans trans;
    memcpy(&trans, arg, sizeof(trans));
    if (trans.esize != static_cast<int>(sizeof(pfioc_trans_e)))
        return ENODEV;
    if (trans.size < 0 || trans.size > REQUEST_MAXCOUNT)
        return EINVAL;
    std::vector<pfioc_trans_e> elements;
    int error = CopyIn(trans.array, trans.size, elements);
    if (error != 0)
        return error;
    for (auto &element : elements)
        element.anchor[sizeof(element.anchor) - 1] = '\0';

    if (kind == Request::XBEGIN) {
        for (auto &element : elements) {
            error =
                rulesets.Begin(element.rs_num, Rulesets::Normalize(element.anchor), element.ticket);
            if (error != 0)
                return error;
        }
        CopyOut(elements, trans.array);
        return 0;
    }
    for (const auto &element : elements) {
        error = rulesets.CheckCommit(element.rs_num, Rulesets::Normalize(element.anchor),
                                     element.ticket);
        if (error != 0)
            return error;
    }
    for (const auto &element : elements)
        rulesets.Commit(element.rs_num, Rulesets::Normalize(element.anchor));
    return 0;
}

// Runs `call` under the model's lock and turns an errno result into -1 with errno set.
template <class Call> int Syscall(Call call)
{
    int result;
    {
        std::lock_guard<std::mutex> guard(model().lock);
        result = call(model());
    }
    if (result < 0) {
        errno = -result;
        return -1;
    }
    return result;
}

} // namespace

int Open(const char *path, int flags)
{
    return Syscall([&](Model &m) { return m.Open(path, flags); });
}

int Ioctl(int fd, unsigned long request, void *arg)
{
    return Syscall([&](Model &m) { return -m.Dispatch(fd, request, arg); });
}

int Close(int fd)
{
    return Syscall([&](Model &m) { return -m.Close(fd); });
}

void RegisterDevice(const std::string &path)
{
    std::lock_guard<std::mutex> guard(model().lock);
    model().devices.insert(path);
}

void SetClock(int64_t seconds)
{
    std::lock_guard<std::mutex> guard(model().lock);
    model().clock = seconds;
}

void UseWallClock()
{
    std::lock_guard<std::mutex> guard(model().lock);
    model().clock.reset();
}

int64_t Now()
{
    std::lock_guard<std::mutex> guard(model().lock);
    return model().Now();
}

void SetRunning(bool running)
{
    std::lock_guard<std::mutex> guard(model().lock);
    model().running = running;
}

void FailNext(Request kind, int error)
{
    std::lock_guard<std::mutex> guard(model().lock);
    model().faults[static_cast<int>(kind)] = error;
}

uint64_t Requests(Request kind)
{
    std::lock_guard<std::mutex> guard(model().lock);
    return model().counts[static_cast<int>(kind)];
}

std::vector<Table> ListTables()
{
    std::lock_guard<std::mutex> guard(model().lock);
    return model().tables.List();
}

std::vector<std::string> ListAnchors()
{
    std::lock_guard<std::mutex> guard(model().lock);
    return model().rulesets.List();
}

size_t OpenDescriptors()
{
    std::lock_guard<std::mutex> guard(model().lock);
    return model().descriptors.size();
}

void SetEntryLimit(size_t entries)
{
    std::lock_guard<std::mutex> guard(model().lock);
    model().tables.SetEntryLimit(entries);
}

void Reset()
{
    std::lock_guard<std::mutex> guard(model().lock);
    model().Reset();
}

} // namespace pfsim
