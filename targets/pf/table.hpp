#pragma once

#include "targets/pf/pfvar.hpp"

#include <string>

struct pfr_buf;

// pf's table and address requests on the pf descriptor `fd`. Each returns 0, or -1 with errno as
// pf or the argument check (EINVAL) left it, after a debug line naming the routine; out-values
// are written only on success and only through non-null pointers.

// Fills `table` for the anchor ("*" is the main ruleset) and table name, ORing in `flags` when
// positive. False (with EINVAL) when either name does not fit pf's fields or holds a NUL byte.
bool pfctl_init_table(pfr_table *table, const std::string &anchor, const std::string &name,
                      int flags);

// Creates `count` tables; `added` receives how many did not exist before.
int pfr_add_tables(int fd, const pfr_table *tables, int count, int *added);
// Deletes `count` tables; `deleted` receives how many existed. Reports nothing itself.
int pfr_del_tables(int fd, const pfr_table *tables, int count, int *deleted);
// Removes every address of `table`; `deleted` receives how many.
int pfr_clr_addrs(int fd, const pfr_table *table, int *deleted);
// Adds `count` addresses; `added` receives how many were not present before.
int pfr_add_addrs(int fd, const pfr_table *table, const pfr_addr *addrs, int count, int *added);
// Deletes `count` addresses; `deleted` receives how many were present.
int pfr_del_addrs(int fd, const pfr_table *table, const pfr_addr *addrs, int count, int *deleted);

// Reads every address of `table` with its statistics into the BUF_ASTATS buffer `buf`, growing
// it to the size pf reports until everything fits. On success `buf->count` is the number of
// addresses; on failure it is 0.
int pfr_get_astats(int fd, const pfr_table *table, pfr_buf *buf);
