#pragma once

#include <cstdint>

// The clock tdTimeOfDay::TickUpdate reads, in seconds since the epoch (UTC), for every window of
// the process; null, the default, is the system's wall clock. The stand-in's own switch: a host
// replaying recorded traffic sets it to the recording's time.
void td_set_time_source(int64_t (*clock)());
