#pragma once

// td_dprintf that leaves errno as it found it, so that a caller can still tell the failure it
// reports by errno afterwards. Formats nothing while debug output is off.
void pf_dprintf(const char *format, ...) __attribute__((format(printf, 1, 2)));
