#include "targets/pf/pfr_buf.hpp"

#include "targets/pf/debug.hpp"
#include "targets/pf/pfvar.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <stdlib.h>

namespace
{

constexpr int FIRST_CAPACITY = 64;

bool pfr_buf_valid(const pfr_buf *buf)
{
    return buf != nullptr && pfr_buf_esize(buf->kind) != 0 && buf->count >= 0 &&
           buf->count <= buf->capacity && (buf->capacity == 0 || buf->storage != nullptr);
}

} // namespace

size_t pfr_buf_esize(int kind)
{
    switch (kind) {
    case BUF_TABLES:
        return sizeof(pfr_table);
    case BUF_TSTATS:
        return PFR_TSTATS_SIZE;
    case BUF_ADDRS:
        return sizeof(pfr_addr);
    case BUF_ASTATS:
        return sizeof(pfr_astats);
    case BUF_IFACES:
        return PFI_KIF_SIZE;
    case BUF_TRANS:
        return sizeof(pfioc_trans_e);
    default:
        return 0;
    }
}

int pfr_buf_add(pfr_buf *buf, const void *element)
{
    if (!pfr_buf_valid(buf) || element == nullptr) {
        errno = EINVAL;
        pf_dprintf("%s: %s\n", "pfr_buf_add", strerror(errno));
        return -1;
    }
    if (buf->count == buf->capacity && pfr_buf_grow(buf, 0) == -1)
        return -1;
    memcpy(pfr_buf_at(buf, buf->count), element, pfr_buf_esize(buf->kind));
    buf->count++;
    return 0;
}

int pfr_buf_grow(pfr_buf *buf, int required)
{
    if (!pfr_buf_valid(buf) || required < 0) {
        errno = EINVAL;
        return -1;
    }
    if (required != 0 && required <= buf->capacity)
        return 0;

    int capacity = required;
    if (buf->capacity == 0 && capacity < FIRST_CAPACITY)
        capacity = FIRST_CAPACITY;
    else if (capacity == 0) {
        if (buf->capacity > INT_MAX / 2) {
            errno = ENOMEM;
            return -1;
        }
        capacity = buf->capacity * 2;
    }

    size_t esize = pfr_buf_esize(buf->kind);
    void *storage = reallocarray(buf->storage, static_cast<size_t>(capacity), esize);
    if (storage == nullptr)
        return -1;
    memset(static_cast<char *>(storage) + static_cast<size_t>(buf->capacity) * esize, 0,
           static_cast<size_t>(capacity - buf->capacity) * esize);
    buf->storage = storage;
    buf->capacity = capacity;
    return 0;
}

void pfr_buf_clear(pfr_buf *buf)
{
    if (buf == nullptr)
        return;
    int saved = errno;
    free(buf->storage);
    buf->storage = nullptr;
    buf->count = 0;
    buf->capacity = 0;
    errno = saved;
}
