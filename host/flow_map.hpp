#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

class tdFlow;

// The host's table of live flows, split into buckets by digest, each with its own lock.
class tdFlowMap
{
public:
    using Bucket = std::unordered_map<uint64_t, std::shared_ptr<tdFlow>>;

    explicit tdFlowMap(size_t buckets = DEFAULT_BUCKETS);

    size_t GetBuckets() const { return buckets.size(); }

    // Locks bucket `index` and returns its flows; every Acquire must be paired with Release.
    Bucket &Acquire(size_t index);
    void Release(size_t index);

    // Convenience for hosts; each takes the flow's bucket lock itself.
    void Insert(uint64_t digest, const std::shared_ptr<tdFlow> &flow);
    std::shared_ptr<tdFlow> Find(uint64_t digest);
    bool Erase(uint64_t digest);
    size_t GetCount();

    static constexpr size_t DEFAULT_BUCKETS = 64;

private:
    struct Slot {
        std::mutex lock;
        Bucket flows;
    };

    size_t IndexOf(uint64_t digest) const { return digest % buckets.size(); }

    std::vector<std::unique_ptr<Slot>> buckets;
};
