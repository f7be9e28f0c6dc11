#pragma once

#include <functional>
#include <string>

// The stand-in agent's switches for its log lines; the real agent sets these from its own
// command line, so the plug-in never calls them.
void td_set_debug(bool enabled);
bool td_debug_enabled();

// Receives every written line instead of standard error while installed (tests capture output
// this way). `debug` tells a td_dprintf line from a td_printf one. An empty hook restores stderr.
// Returns the hook it replaces, so that a caller can put it back.
using tdLogHook = std::function<void(bool debug, const std::string &text)>;
tdLogHook td_set_log_hook(tdLogHook hook);
