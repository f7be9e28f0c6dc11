#include "tools/replay/json_members.hpp"

#include <algorithm>

namespace
{
bool ByKey(const tfaJsonMembers::Member &a, const tfaJsonMembers::Member &b)
{
    return a.key < b.key;
}
} // namespace

tfaJsonMembers::tfaJsonMembers(simdjson::dom::object object)
{
    members.reserve(object.size());
    for (simdjson::dom::key_value_pair field : object)
        members.push_back({field.key, field.value});
    // Writers mostly sort their names already, which the stable sort passes through quickly.
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
    auto it = std::find_if(members.begin(), members.end(), [](const Member &m) { return !m.read; });
    return it == members.end() ? nullptr : &*it;
}
