#pragma once

// td_printf always writes; td_dprintf writes only while the agent has debug output on, and
// returns before any formatting when it is off, so debug lines cost nothing on the hot path.
void td_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));
void td_dprintf(const char *format, ...) __attribute__((format(printf, 1, 2)));
