#pragma once

#include <simdjson.h>

#include <string_view>
#include <vector>

// The members of one parsed JSON object, looked up by name. They are sorted once, so a lookup is
// a binary search rather than a walk through the object, and a name given twice keeps
// its last value, as the reader always did. Every member looked up is marked read, so that one
// nobody asked for (most often a misspelt name) can be reported rather than dropped.
class tfaJsonMembers
{
public:
    struct Member {
        std::string_view key;
        simdjson::dom::element value;
        bool read = false;
    };

    explicit tfaJsonMembers(simdjson::dom::object object);

    // The member named `key`, now marked read; nullptr when the object has none.
    const simdjson::dom::element *Find(std::string_view key);
    // The first member, in order of names, that was never looked up; nullptr when none is left.
    const Member *FirstUnread() const;

private:
    std::vector<Member> members;
};
