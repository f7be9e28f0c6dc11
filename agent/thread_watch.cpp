#include "agent/thread_watch.hpp"

uint64_t tdThreadWatch::OwnLocks(const tdThread &thread)
{
    return thread.own_locks.load();
}

bool tdThreadWatch::Ended(const tdThread &thread)
{
    return thread.ended.load();
}
