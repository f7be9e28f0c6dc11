#pragma once

#include <cstddef>
#include <cstdint>

struct pfr_buf;

// pf's status, ruleset and transaction requests on the pf descriptor `fd`. Each returns 0, or -1
// with errno set; out-values are written only on success. Only pfctl_add_trans reports its own
// failure; the callers of the others name the request in theirs.

// Whether pf is enabled.
int pfctl_get_status(int fd, bool *running);

// Number of anchors directly under `path` ("" is the main ruleset).
int pfctl_get_rulesets(int fd, const char *path, uint32_t *count);
// Name of the anchor at `index` under `path`, copied into `name` (`size` bytes).
int pfctl_get_ruleset(int fd, const char *path, uint32_t index, char *name, size_t size);

// Appends a transaction element for ruleset `ruleset` of `anchor` to a BUF_TRANS buffer.
int pfctl_add_trans(pfr_buf *buf, int ruleset, const char *anchor);
// Issues the transaction request `request` (DIOCXBEGIN, DIOCXCOMMIT) for every element of `buf`;
// pf writes the tickets into the elements.
int pfctl_trans(int fd, pfr_buf *buf, unsigned long request);
// Replaces the scrub and filter rules of `anchor` with none, by beginning and committing an empty
// transaction for both.
int pfctl_flush_anchor(int fd, const char *anchor);
