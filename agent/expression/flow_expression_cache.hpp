#pragma once

#include <cstddef>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

// A map from text to `Value`. With a capacity it forgets the least recently used entry when full
// (and holds at least one entry, so the one just inserted stays); without one (0) it keeps every
// entry until cleared, and finding one does not reorder anything. Finding does not allocate.
template <class Value> class tdFlowExpressionCache
{
public:
    static constexpr size_t UNBOUNDED = 0;

    explicit tdFlowExpressionCache(size_t capacity = UNBOUNDED) : capacity(capacity) {}
    tdFlowExpressionCache(const tdFlowExpressionCache &) = delete;
    tdFlowExpressionCache &operator=(const tdFlowExpressionCache &) = delete;

    // The entry for `key`, now the most recently used; null when there is none.
    Value *Find(std::string_view key)
    {
        auto found = index.find(key);
        if (found == index.end())
            return nullptr;
        if (capacity != UNBOUNDED)
            entries.splice(entries.begin(), entries, found->second);
        return &found->second->second;
    }

    // Stores `value` under `key` (replacing an entry there) and returns the stored value.
    Value &Insert(std::string_view key, Value value)
    {
        if (Value *existing = Find(key)) {
            *existing = std::move(value);
            return *existing;
        }
        if (capacity != UNBOUNDED && !entries.empty() && entries.size() >= capacity) {
            index.erase(entries.back().first);
            entries.pop_back();
        }
        entries.emplace_front(std::string(key), std::move(value));
        index.emplace(entries.front().first, entries.begin());
        return entries.front().second;
    }

    void Clear()
    {
        index.clear();
        entries.clear();
    }

    size_t Size() const { return entries.size(); }

private:
    using Entry = std::pair<std::string, Value>;

    size_t capacity;
    std::list<Entry> entries; // most recently used first; list nodes never move
    std::unordered_map<std::string_view, typename std::list<Entry>::iterator> index;
};
