#pragma once

#include "host/thread.hpp"

#include <cstdint>

// What the stand-in sees of a tdThread through the calls the interface already makes, for hosts
// that need to know where the thread's Entry() is. The real agent offers nothing of the kind, so
// only tools call it, never a plug-in.
class tdThreadWatch
{
public:
    // Times Entry()'s own thread has taken the thread lock since another thread last took it,
    // or since Create() when no other thread has.
    static uint64_t OwnLocks(const tdThread &thread);
    // True once Entry() has returned or ended by exception.
    static bool Ended(const tdThread &thread);
};
