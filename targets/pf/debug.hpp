#pragma once

#include "host/log.hpp"

#include <cerrno>

// td_dprintf that leaves errno as it found it, so that a caller can still tell the failure it
// reports by errno afterwards. A macro rather than a function so that the agent's own check of
// its debug switch comes first and nothing is formatted while debug output is off.
#define pf_dprintf(...)                                                                            \
    do {                                                                                           \
        const int pf_dprintf_errno = errno;                                                        \
        td_dprintf(__VA_ARGS__);                                                                   \
        errno = pf_dprintf_errno;                                                                  \
    } while (0)
