#include <mutex>

#include "host/addr.hpp"

const std::string &tdAddr::GetString(tdFlags<MakeFlags> flags) const
{
    // One lock for every address: the cache is small and rarely rebuilt, and a flow record's
    // encoder already holds the record's own lock when it gets here.
    static std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);

    if (cache_flags == flags.GetBits() && !cache.empty())
        return cache;
    cache_flags = flags.GetBits();
    MakeString(*this, cache, flags);
    return cache;
}
