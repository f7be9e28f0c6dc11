#pragma once

#include <atomic>
#include <functional>
#include <string>

// td_printf always writes; td_dprintf writes only while debug output is on, and returns before
// any formatting when it is off, so debug lines cost nothing on the hot path.
void td_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));
void td_dprintf(const char *format, ...) __attribute__((format(printf, 1, 2)));

void td_set_debug(bool enabled);
bool td_debug_enabled();

// Receives every written line instead of standard error while installed (tests capture output
// this way). `debug` tells a td_dprintf line from a td_printf one. An empty hook restores stderr.
using tdLogHook = std::function<void(bool debug, const std::string &text)>;
void td_set_log_hook(tdLogHook hook);
