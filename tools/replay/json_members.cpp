#include "tools/replay/json_members.hpp"

#include <algorithm>

namespace
{
// Shorter names first, and names of one length in byte order: most comparisons end at the
// lengths, without looking at the bytes.
bool ByKey(const tfaJsonMembers::Member &a, const tfaJsonMembers::Member &b)
{
    if (a.key.size() != b.key.size())
        return a.key.size() < b.key.size();
    return a.key < b.key;
}
} // namespace

tfaJsonMembers::tfaJsonMembers(simdjson::dom::object object)
{
    members.reserve(object.size());
    for (simdjson::dom::key_value_pair field : object)
        members.push_back({field.key, field.value});
    std::stable_sort(members.begin(), members.end(), ByKey);
    // Of equal names the last one stays: reverse, keep the first of each run, reverse back.
    std::reverse(members.begin(), members.end());
    auto last = std::unique(members.begin(), members.end(),
                            [](const Member &a, const Member &b) { return a.key == b.key; });
    members.erase(last, members.end());
    std::reverse(members.begin(), members.end());
}

const simdjson::dom::element *tfaJsonMembers::Find(std::string_view key)
{
    auto it = std::lower_bound(members.begin(), members.end(), Member{key, {}}, ByKey);
    if (it == members.end() || it->key != key)
        return nullptr;
    it->read = true;
    return &it->value;
}

const tfaJsonMembers::Member *tfaJsonMembers::FirstUnread() const
{
    const Member *first = nullptr;
    for (const Member &member : members)
        if (!member.read && (first == nullptr || member.key < first->key))
            first = &member;
    return first;
}
