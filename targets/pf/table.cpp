#include "targets/pf/table.hpp"

#include "targets/pf/debug.hpp"
#include "targets/pf/pf_device.hpp"
#include "targets/pf/pfr_buf.hpp"

#include <cerrno>
#include <cstring>
#include <string.h>

namespace
{

constexpr char MAIN_RULESET[] = "*";

// Copies `text` into a fixed field; false when it does not fit or would be cut at a NUL byte.
bool copy_name(char *field, size_t size, const std::string &text)
{
    return text.find('\0') == std::string::npos && strlcpy(field, text.c_str(), size) < size;
}

// A zeroed table request on `table` with `count` elements of `esize` bytes at `buffer`.
void init_request(pfioc_table &io, const pfr_table *table, const void *buffer, int esize, int count)
{
    memset(&io, 0, sizeof(io));
    if (table != nullptr)
        io.pfrio_table = *table;
    io.pfrio_buffer = const_cast<void *>(buffer);
    io.pfrio_esize = esize;
    io.pfrio_size = count;
}

bool bad_array(const void *array, int count)
{
    return count < 0 || (count != 0 && array == nullptr);
}

int argument_error(const char *routine)
{
    errno = EINVAL;
    pf_dprintf("%s: %s\n", routine, strerror(errno));
    return -1;
}

} // namespace

bool pfctl_init_table(pfr_table *table, const std::string &anchor, const std::string &name,
                      int flags)
{
    if (table == nullptr) {
        errno = EINVAL;
        return false;
    }
    memset(table, 0, sizeof(*table));
    const std::string &path = anchor == MAIN_RULESET ? std::string() : anchor;
    if (!copy_name(table->pfrt_anchor, sizeof(table->pfrt_anchor), path) ||
        !copy_name(table->pfrt_name, sizeof(table->pfrt_name), name)) {
        errno = EINVAL;
        pf_dprintf("%s: strlcpy: %s: %s\n", "pfctl_init_table", anchor.c_str(), name.c_str());
        return false;
    }
    if (flags > 0)
        table->pfrt_flags |= static_cast<uint32_t>(flags);
    return true;
}

int pfr_add_tables(int fd, const pfr_table *tables, int count, int *added)
{
    pfioc_table io;

    if (bad_array(tables, count))
        return argument_error("pfr_add_tables");
    init_request(io, nullptr, tables, sizeof(pfr_table), count);
    if (pf_ioctl(fd, DIOCRADDTABLES, &io) == -1) {
        pf_dprintf("%s: DIOCRADDTABLES: %s\n", "pfr_add_tables", strerror(errno));
        return -1;
    }
    if (added != nullptr)
        *added = io.pfrio_nadd;
    return 0;
}

int pfr_del_tables(int fd, const pfr_table *tables, int count, int *deleted)
{
    pfioc_table io;

    if (bad_array(tables, count))
        return argument_error("pfr_del_tables");
    init_request(io, nullptr, tables, sizeof(pfr_table), count);
    if (pf_ioctl(fd, DIOCRDELTABLES, &io) == -1)
        return -1;
    if (deleted != nullptr)
        *deleted = io.pfrio_ndel;
    return 0;
}

int pfr_clr_addrs(int fd, const pfr_table *table, int *deleted)
{
    pfioc_table io;

    if (table == nullptr)
        return argument_error("pfr_clr_addrs");
    init_request(io, table, nullptr, 0, 0);
    if (pf_ioctl(fd, DIOCRCLRADDRS, &io) == -1) {
        pf_dprintf("%s: DIOCRCLRADDRS: %s\n", "pfr_clr_addrs", strerror(errno));
        return -1;
    }
    if (deleted != nullptr)
        *deleted = io.pfrio_ndel;
    return 0;
}

int pfr_add_addrs(int fd, const pfr_table *table, const pfr_addr *addrs, int count, int *added)
{
    pfioc_table io;

    if (table == nullptr || bad_array(addrs, count))
        return argument_error("pfr_add_addrs");
    init_request(io, table, addrs, sizeof(pfr_addr), count);
    if (pf_ioctl(fd, DIOCRADDADDRS, &io) == -1) {
        pf_dprintf("%s: DIOCRADDADDRS: %s\n", "pfr_add_addrs", strerror(errno));
        return -1;
    }
    if (added != nullptr)
        *added = io.pfrio_nadd;
    return 0;
}

int pfr_del_addrs(int fd, const pfr_table *table, const pfr_addr *addrs, int count, int *deleted)
{
    pfioc_table io;

    if (table == nullptr || bad_array(addrs, count))
        return argument_error("pfr_del_addrs");
    init_request(io, table, addrs, sizeof(pfr_addr), count);
    if (pf_ioctl(fd, DIOCRDELADDRS, &io) == -1) {
        pf_dprintf("%s: DIOCRDELADDRS: %s\n", "pfr_del_addrs", strerror(errno));
        return -1;
    }
    if (deleted != nullptr)
        *deleted = io.pfrio_ndel;
    return 0;
}

int pfr_get_astats(int fd, const pfr_table *table, pfr_buf *buf)
{
    pfioc_table io;
    int required = 0;

    if (table == nullptr || buf == nullptr || buf->kind != BUF_ASTATS)
        return argument_error("pfr_get_astats");
    for (;;) {
        if (pfr_buf_grow(buf, required) == -1) {
            buf->count = 0;
            return argument_error("pfr_get_astats");
        }
        init_request(io, table, buf->storage, sizeof(pfr_astats), buf->capacity);
        if (pf_ioctl(fd, DIOCRGETASTATS, &io) == -1) {
            pf_dprintf("%s: DIOCRGETASTATS: %s\n", "pfr_get_astats", strerror(errno));
            buf->count = 0;
            return -1;
        }
        if (io.pfrio_size <= buf->capacity) {
            buf->count = io.pfrio_size;
            return 0;
        }
        required = io.pfrio_size;
    }
}
