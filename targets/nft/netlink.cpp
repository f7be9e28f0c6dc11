#include "targets/nft/netlink.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <libmnl/libmnl.h>
#include <libnftnl/common.h>
#include <libnftnl/set.h>
#include <libnftnl/table.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#include <memory>
#include <sys/socket.h>
#include <sys/time.h>
#include <tuple>

static_assert(static_cast<int>(NFT_FAMILY_INET) == static_cast<int>(NFPROTO_INET), "inet family");
static_assert(static_cast<int>(NFT_FAMILY_IP) == static_cast<int>(NFPROTO_IPV4), "ip family");
static_assert(static_cast<int>(NFT_FAMILY_IP6) == static_cast<int>(NFPROTO_IPV6), "ip6 family");
static_assert(NFT_SET_FLAG_CONSTANT == NFT_SET_CONSTANT, "constant flag");
static_assert(NFT_SET_FLAG_INTERVAL == NFT_SET_INTERVAL, "interval flag");
static_assert(NFT_SET_FLAG_TIMEOUT == NFT_SET_TIMEOUT, "timeout flag");

namespace
{

// Large enough for the biggest message a dump puts into one datagram.
constexpr size_t BUFFER_SIZE = 1 << 17;
// A kernel that has not answered by then is not going to: the socket is given up.
constexpr time_t RECEIVE_TIMEOUT_SECONDS = 5;

struct TableFree {
    void operator()(nftnl_table *table) const { nftnl_table_free(table); }
};
struct SetFree {
    void operator()(nftnl_set *set) const { nftnl_set_free(set); }
};
using Table = std::unique_ptr<nftnl_table, TableFree>;
using Set = std::unique_ptr<nftnl_set, SetFree>;

// A table object naming `table` of `family`; null (ENOMEM) when allocation fails.
Table MakeTable(uint8_t family, const std::string &table)
{
    Table made(nftnl_table_alloc());
    if (made) {
        nftnl_table_set_u32(made.get(), NFTNL_TABLE_FAMILY, family);
        nftnl_table_set_str(made.get(), NFTNL_TABLE_NAME, table.c_str());
    } else
        errno = ENOMEM;
    return made;
}

Set MakeSet(uint8_t family, const std::string &table, const std::string &set)
{
    Set made(nftnl_set_alloc());
    if (made) {
        nftnl_set_set_u32(made.get(), NFTNL_SET_FAMILY, family);
        nftnl_set_set_str(made.get(), NFTNL_SET_TABLE, table.c_str());
        nftnl_set_set_str(made.get(), NFTNL_SET_NAME, set.c_str());
    } else
        errno = ENOMEM;
    return made;
}

// Names the kernel accepts: not empty, no NUL byte, shorter than its name fields.
bool ValidName(const std::string &name)
{
    return !name.empty() && name.size() < NFT_NAME_MAXLEN && name.find('\0') == std::string::npos;
}

bool ValidNames(const std::string &table, const std::string *set = nullptr)
{
    if (ValidName(table) && (set == nullptr || ValidName(*set)))
        return true;
    errno = EINVAL;
    return false;
}

nft_set_spec SpecOf(const nftnl_set *set)
{
    nft_set_spec spec;
    spec.key_type = nftnl_set_get_u32(set, NFTNL_SET_KEY_TYPE);
    spec.key_len = nftnl_set_get_u32(set, NFTNL_SET_KEY_LEN);
    spec.flags =
        nftnl_set_is_set(set, NFTNL_SET_FLAGS) ? nftnl_set_get_u32(set, NFTNL_SET_FLAGS) : 0;
    return spec;
}

// Appends the elements of one GETSETELEM answer message to `elements`.
bool ParseElements(const nlmsghdr *nlh, std::vector<nft_element> &elements)
{
    Set set(nftnl_set_alloc());
    if (!set || nftnl_set_elems_nlmsg_parse(nlh, set.get()) < 0)
        return false;
    nftnl_set_elems_iter *iter = nftnl_set_elems_iter_create(set.get());
    if (iter == nullptr)
        return false;
    for (nftnl_set_elem *elem = nftnl_set_elems_iter_next(iter); elem != nullptr;
         elem = nftnl_set_elems_iter_next(iter)) {
        nft_element element;
        uint32_t length = 0;
        const void *key = nftnl_set_elem_get(elem, NFTNL_SET_ELEM_KEY, &length);
        if (key != nullptr)
            element.key.assign(static_cast<const uint8_t *>(key),
                               static_cast<const uint8_t *>(key) + length);
        if (length == 4 || length == 16) {
            element.is_addr = true;
            element.addr.ipv6 = length == 16;
            memcpy(element.addr.bytes, key, length);
        }
        if (nftnl_set_elem_is_set(elem, NFTNL_SET_ELEM_TIMEOUT))
            element.timeout_ms = nftnl_set_elem_get_u64(elem, NFTNL_SET_ELEM_TIMEOUT);
        if (nftnl_set_elem_is_set(elem, NFTNL_SET_ELEM_EXPIRATION))
            element.expires_ms = nftnl_set_elem_get_u64(elem, NFTNL_SET_ELEM_EXPIRATION);
        elements.push_back(std::move(element));
    }
    nftnl_set_elems_iter_destroy(iter);
    return true;
}

} // namespace

tfaNftNetlink::tfaNftNetlink() : buffer(BUFFER_SIZE)
{
}

tfaNftNetlink::~tfaNftNetlink()
{
    Close();
}

void tfaNftNetlink::Close()
{
    if (socket != nullptr)
        mnl_socket_close(socket);
    socket = nullptr;
}

int tfaNftNetlink::Open()
{
    if (socket != nullptr)
        return 0;
    socket = mnl_socket_open2(NETLINK_NETFILTER, SOCK_CLOEXEC);
    if (socket == nullptr)
        return -1;
    timeval timeout{RECEIVE_TIMEOUT_SECONDS, 0};
    if (mnl_socket_bind(socket, 0, MNL_SOCKET_AUTOPID) < 0 ||
        setsockopt(mnl_socket_get_fd(socket), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) <
            0) {
        int error = errno;
        Close();
        errno = error;
        return -1;
    }
    portid = mnl_socket_get_portid(socket);
    return 0;
}

int tfaNftNetlink::Fault(int error)
{
    Close();
    errno = error;
    return -1;
}

int tfaNftNetlink::Send(const void *data, size_t length)
{
    ssize_t sent = mnl_socket_sendto(socket, data, length);
    if (sent < 0)
        return Fault(errno);
    if (static_cast<size_t>(sent) != length)
        return Fault(EIO);
    return 0;
}

int tfaNftNetlink::Receive(uint32_t first, uint32_t last, uint32_t done_seq, const Parser *parse)
{
    bool parsed = true;
    for (;;) {
        ssize_t received = mnl_socket_recvfrom(socket, buffer.data(), buffer.size());
        if (received < 0)
            return Fault(errno == EAGAIN || errno == EWOULDBLOCK ? ETIMEDOUT : errno);
        int length = static_cast<int>(received);
        for (auto *nlh = reinterpret_cast<const nlmsghdr *>(buffer.data());
             mnl_nlmsg_ok(nlh, length); nlh = mnl_nlmsg_next(nlh, &length)) {
            // Answers to an earlier request that was given up on are skipped.
            if (nlh->nlmsg_seq < first || nlh->nlmsg_seq > last || nlh->nlmsg_pid != portid)
                continue;
            if (nlh->nlmsg_type == NLMSG_ERROR) {
                const auto *error = static_cast<const nlmsgerr *>(mnl_nlmsg_get_payload(nlh));
                if (nlh->nlmsg_len < mnl_nlmsg_size(sizeof(nlmsgerr)))
                    return Fault(EPROTO);
                if (error->error != 0) {
                    errno = -error->error;
                    return -1;
                }
                if (nlh->nlmsg_seq == done_seq) {
                    if (parsed)
                        return 0;
                    errno = EPROTO;
                    return -1;
                }
                continue;
            }
            if (nlh->nlmsg_type == NLMSG_DONE) {
                if (parsed)
                    return 0;
                errno = EPROTO;
                return -1;
            }
            if (parse != nullptr && parsed && !(*parse)(nlh))
                parsed = false;
        }
        if (length != 0)
            return Fault(EPROTO);
    }
}

// An exclusive create: an object that was there already is no failure, and `created` (when
// given) tells the two apart.
int tfaNftNetlink::Create(uint16_t type, uint8_t family, const Builder &build, bool *created)
{
    int result = Change(type, family, NLM_F_CREATE | NLM_F_EXCL, build);
    if (result == -1 && errno != EEXIST)
        return -1;
    if (created != nullptr)
        *created = result == 0;
    return 0;
}

int tfaNftNetlink::Change(uint16_t type, uint8_t family, uint16_t flags, const Builder &build)
{
    if (Open() == -1)
        return -1;
    uint32_t begin = ++sequence;
    uint32_t seq = ++sequence;
    uint32_t end = ++sequence;
    mnl_nlmsg_batch *batch = mnl_nlmsg_batch_start(buffer.data(), buffer.size());
    nftnl_batch_begin(static_cast<char *>(mnl_nlmsg_batch_current(batch)), begin);
    mnl_nlmsg_batch_next(batch);
    nlmsghdr *nlh = nftnl_nlmsg_build_hdr(static_cast<char *>(mnl_nlmsg_batch_current(batch)), type,
                                          family, flags | NLM_F_ACK, seq);
    build(nlh);
    mnl_nlmsg_batch_next(batch);
    nftnl_batch_end(static_cast<char *>(mnl_nlmsg_batch_current(batch)), end);
    mnl_nlmsg_batch_next(batch);
    int sent = Send(mnl_nlmsg_batch_head(batch), mnl_nlmsg_batch_size(batch));
    mnl_nlmsg_batch_stop(batch);
    if (sent == -1)
        return -1;
    return Receive(begin, end, seq, nullptr);
}

int tfaNftNetlink::Query(uint16_t type, uint8_t family, bool dump, const Builder &build,
                         const Parser &parse)
{
    if (Open() == -1)
        return -1;
    uint32_t seq = ++sequence;
    nlmsghdr *nlh =
        nftnl_nlmsg_build_hdr(buffer.data(), type, family, dump ? NLM_F_DUMP : NLM_F_ACK, seq);
    build(nlh);
    if (Send(nlh, nlh->nlmsg_len) == -1)
        return -1;
    return Receive(seq, seq, seq, &parse);
}

int tfaNftNetlink::AddTable(uint8_t family, const std::string &table, bool *created)
{
    if (!ValidNames(table))
        return -1;
    Table made = MakeTable(family, table);
    if (!made)
        return -1;
    return Create(
        NFT_MSG_NEWTABLE, family,
        [&](nlmsghdr *nlh) { nftnl_table_nlmsg_build_payload(nlh, made.get()); }, created);
}

int tfaNftNetlink::GetTable(uint8_t family, const std::string &table)
{
    if (!ValidNames(table))
        return -1;
    Table made = MakeTable(family, table);
    if (!made)
        return -1;
    return Query(
        NFT_MSG_GETTABLE, family, false,
        [&](nlmsghdr *nlh) { nftnl_table_nlmsg_build_payload(nlh, made.get()); },
        [](const nlmsghdr *) { return true; });
}

int tfaNftNetlink::DelTable(uint8_t family, const std::string &table)
{
    if (!ValidNames(table))
        return -1;
    Table made = MakeTable(family, table);
    if (!made)
        return -1;
    return Change(NFT_MSG_DELTABLE, family, 0,
                  [&](nlmsghdr *nlh) { nftnl_table_nlmsg_build_payload(nlh, made.get()); });
}

int tfaNftNetlink::AddSet(uint8_t family, const std::string &table, const std::string &set,
                          const nft_set_spec &spec, bool *created)
{
    if (!ValidNames(table, &set))
        return -1;
    Set made = MakeSet(family, table, set);
    if (!made)
        return -1;
    nftnl_set_set_u32(made.get(), NFTNL_SET_KEY_TYPE, spec.key_type);
    nftnl_set_set_u32(made.get(), NFTNL_SET_KEY_LEN, spec.key_len);
    nftnl_set_set_u32(made.get(), NFTNL_SET_FLAGS, spec.flags);
    nftnl_set_set_u32(made.get(), NFTNL_SET_ID, 1);
    return Create(
        NFT_MSG_NEWSET, family,
        [&](nlmsghdr *nlh) { nftnl_set_nlmsg_build_payload(nlh, made.get()); }, created);
}

int tfaNftNetlink::GetSet(uint8_t family, const std::string &table, const std::string &set,
                          nft_set_spec *spec)
{
    if (!ValidNames(table, &set))
        return -1;
    Set made = MakeSet(family, table, set);
    if (!made)
        return -1;
    nft_set_spec found;
    bool seen = false;
    int result = Query(
        NFT_MSG_GETSET, family, false,
        [&](nlmsghdr *nlh) { nftnl_set_nlmsg_build_payload(nlh, made.get()); },
        [&](const nlmsghdr *nlh) {
            Set answer(nftnl_set_alloc());
            if (!answer || nftnl_set_nlmsg_parse(nlh, answer.get()) < 0)
                return false;
            found = SpecOf(answer.get());
            seen = true;
            return true;
        });
    if (result == -1)
        return -1;
    if (!seen) {
        errno = EPROTO;
        return -1;
    }
    if (spec != nullptr)
        *spec = found;
    return 0;
}

int tfaNftNetlink::AddElement(uint8_t family, const std::string &table, const std::string &set,
                              const nft_addr &addr, uint64_t timeout_ms, bool *added)
{
    if (!ValidNames(table, &set))
        return -1;
    // An address already present is found by a lookup first. Adding it exclusively would tell
    // the same by EEXIST, but a refused change makes the kernel abort its transaction, which
    // takes milliseconds (an RCU grace period) where the lookup takes microseconds; and adding
    // it without NLM_F_EXCL would restart its timeout on newer kernels and not on older ones.
    bool present = false;
    if (LookupElement(family, table, set, addr, &present) == -1 && errno != ENOENT)
        return -1;
    if (present) {
        if (added != nullptr)
            *added = false;
        return 0;
    }
    Set made = MakeSet(family, table, set);
    nftnl_set_elem *elem = made ? nftnl_set_elem_alloc() : nullptr;
    if (elem == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    nftnl_set_elem_set(elem, NFTNL_SET_ELEM_KEY, addr.bytes, static_cast<uint32_t>(addr.Length()));
    if (timeout_ms != 0)
        nftnl_set_elem_set_u64(elem, NFTNL_SET_ELEM_TIMEOUT, timeout_ms);
    nftnl_set_elem_add(made.get(), elem);
    // Exclusive, so an address added in between is still told apart (EEXIST).
    return Create(
        NFT_MSG_NEWSETELEM, family,
        [&](nlmsghdr *nlh) { nftnl_set_elems_nlmsg_build_payload(nlh, made.get()); }, added);
}

int tfaNftNetlink::LookupElement(uint8_t family, const std::string &table, const std::string &set,
                                 const nft_addr &addr, bool *present)
{
    Set made = MakeSet(family, table, set);
    nftnl_set_elem *elem = made ? nftnl_set_elem_alloc() : nullptr;
    if (elem == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    nftnl_set_elem_set(elem, NFTNL_SET_ELEM_KEY, addr.bytes, static_cast<uint32_t>(addr.Length()));
    nftnl_set_elem_add(made.get(), elem);
    std::vector<nft_element> found;
    if (Query(
            NFT_MSG_GETSETELEM, family, false,
            [&](nlmsghdr *nlh) { nftnl_set_elems_nlmsg_build_payload(nlh, made.get()); },
            [&](const nlmsghdr *nlh) { return ParseElements(nlh, found); }) == -1)
        return -1;
    *present = !found.empty();
    return 0;
}

int tfaNftNetlink::DelElement(uint8_t family, const std::string &table, const std::string &set,
                              const nft_addr &addr)
{
    if (!ValidNames(table, &set))
        return -1;
    Set made = MakeSet(family, table, set);
    nftnl_set_elem *elem = made ? nftnl_set_elem_alloc() : nullptr;
    if (elem == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    nftnl_set_elem_set(elem, NFTNL_SET_ELEM_KEY, addr.bytes, static_cast<uint32_t>(addr.Length()));
    nftnl_set_elem_add(made.get(), elem);
    return Change(NFT_MSG_DELSETELEM, family, 0,
                  [&](nlmsghdr *nlh) { nftnl_set_elems_nlmsg_build_payload(nlh, made.get()); });
}

int tfaNftNetlink::FlushSet(uint8_t family, const std::string &table, const std::string &set)
{
    if (!ValidNames(table, &set))
        return -1;
    Set made = MakeSet(family, table, set);
    if (!made)
        return -1;
    // A deletion that names no element empties the set.
    return Change(NFT_MSG_DELSETELEM, family, 0,
                  [&](nlmsghdr *nlh) { nftnl_set_elems_nlmsg_build_payload(nlh, made.get()); });
}

int tfaNftNetlink::ListElements(uint8_t family, const std::string &table, const std::string &set,
                                std::vector<nft_element> *elements)
{
    if (!ValidNames(table, &set))
        return -1;
    Set made = MakeSet(family, table, set);
    if (!made)
        return -1;
    std::vector<nft_element> found;
    int result = Query(
        NFT_MSG_GETSETELEM, family, true,
        [&](nlmsghdr *nlh) { nftnl_set_elems_nlmsg_build_payload(nlh, made.get()); },
        [&](const nlmsghdr *nlh) { return ParseElements(nlh, found); });
    if (result == -1)
        return -1;
    if (elements != nullptr)
        *elements = std::move(found);
    return 0;
}

int tfaNftNetlink::ListSets(std::vector<nft_set_listing> *sets)
{
    std::vector<nft_set_listing> found;
    int result = Query(
        NFT_MSG_GETSET, NFPROTO_UNSPEC, true, [](nlmsghdr *) {},
        [&](const nlmsghdr *nlh) {
            Set answer(nftnl_set_alloc());
            if (!answer || nftnl_set_nlmsg_parse(nlh, answer.get()) < 0)
                return false;
            nft_set_listing listing;
            listing.family =
                static_cast<uint8_t>(nftnl_set_get_u32(answer.get(), NFTNL_SET_FAMILY));
            const char *table = nftnl_set_get_str(answer.get(), NFTNL_SET_TABLE);
            const char *name = nftnl_set_get_str(answer.get(), NFTNL_SET_NAME);
            if (table == nullptr || name == nullptr)
                return false;
            listing.table = table;
            listing.set = name;
            listing.spec = SpecOf(answer.get());
            found.push_back(std::move(listing));
            return true;
        });
    if (result == -1)
        return -1;
    for (auto &listing : found)
        if (ListElements(listing.family, listing.table, listing.set, &listing.elements) == -1)
            return -1;
    std::sort(found.begin(), found.end(), [](const nft_set_listing &a, const nft_set_listing &b) {
        return std::tie(a.family, a.table, a.set) < std::tie(b.family, b.table, b.set);
    });
    if (sets != nullptr)
        *sets = std::move(found);
    return 0;
}
