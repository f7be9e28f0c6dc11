#include "host/flow_map.hpp"

tdFlowMap::tdFlowMap(size_t count)
{
    buckets.resize(count == 0 ? 1 : count);
    for (auto &slot : buckets)
        slot = std::make_unique<Slot>();
}

tdFlowMap::Bucket &tdFlowMap::Acquire(size_t index)
{
    buckets[index]->lock.lock();
    return buckets[index]->flows;
}

void tdFlowMap::Release(size_t index) { buckets[index]->lock.unlock(); }

void tdFlowMap::Insert(uint64_t digest, const std::shared_ptr<tdFlow> &flow)
{
    size_t index = IndexOf(digest);
    Acquire(index)[digest] = flow;
    Release(index);
}

std::shared_ptr<tdFlow> tdFlowMap::Find(uint64_t digest)
{
    size_t index = IndexOf(digest);
    Bucket &bucket = Acquire(index);
    auto it = bucket.find(digest);
    std::shared_ptr<tdFlow> flow = it == bucket.end() ? nullptr : it->second;
    Release(index);
    return flow;
}

bool tdFlowMap::Erase(uint64_t digest)
{
    size_t index = IndexOf(digest);
    bool erased = Acquire(index).erase(digest) != 0;
    Release(index);
    return erased;
}

size_t tdFlowMap::GetCount()
{
    size_t count = 0;
    for (size_t i = 0; i < buckets.size(); i++) {
        count += Acquire(i).size();
        Release(i);
    }
    return count;
}
