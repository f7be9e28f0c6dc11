#pragma once

#include <cstddef>

// A growable array of pf records of one kind, for building and reading pf requests. Start from
// {kind, 0, 0, nullptr}; release with pfr_buf_clear.
enum pfr_buf_kind : int {
    BUF_TABLES = 1, // pfr_table
    BUF_TSTATS = 2, // pfr_tstats
    BUF_ADDRS = 3,  // pfr_addr
    BUF_ASTATS = 4, // pfr_astats
    BUF_IFACES = 5, // pfi_kif
    BUF_TRANS = 6,  // pfioc_trans_e
};

struct pfr_buf {
    int kind;
    int count;
    int capacity;
    void *storage; // owned; `capacity` elements, those past `count` zero-filled
};

// Size of one element of `kind`; 0 for an unknown kind.
size_t pfr_buf_esize(int kind);

// Appends a copy of `element`, doubling the capacity (64 at first) when full. 0, or -1 with
// errno set: EINVAL for a missing or inconsistent buffer or element, ENOMEM when it cannot grow.
int pfr_buf_add(pfr_buf *buf, const void *element);

// Makes room for `required` elements; when `required` is 0, for twice the capacity. A first
// allocation holds at least 64. 0, or -1 with errno set (EINVAL, ENOMEM); the buffer is unchanged
// on failure.
int pfr_buf_grow(pfr_buf *buf, int required);

// Releases the storage and empties the buffer, keeping its kind and errno.
void pfr_buf_clear(pfr_buf *buf);

// Element `index` (not checked against the count).
inline void *pfr_buf_at(const pfr_buf *buf, int index)
{
    return static_cast<char *>(buf->storage) +
           static_cast<size_t>(index) * pfr_buf_esize(buf->kind);
}
