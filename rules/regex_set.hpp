#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace re2
{
class RE2;
}

// Regular expressions of a list searched for together, in one pass over the text, each mapped to
// its position in the list. Patterns are RE2's, searched for anywhere in the text, as flow
// expressions search them. Used from one thread at a time.
class tfaRegexSet
{
public:
    static constexpr size_t NONE = SIZE_MAX;
    // Find's answer when the search ran out of its memory bound and decided nothing.
    static constexpr size_t UNDECIDED = SIZE_MAX - 1;

    // Room for the compiled program and the search's state cache of a list of many thousands of
    // patterns.
    static constexpr int64_t DEFAULT_MAX_MEMORY = int64_t(256) << 20;

    // The set, with its program and its search's state cache, stays within `max_memory` bytes;
    // a search that still runs out answers UNDECIDED rather than guessing.
    explicit tfaRegexSet(int64_t max_memory = DEFAULT_MAX_MEMORY);
    ~tfaRegexSet();
    tfaRegexSet(const tfaRegexSet &) = delete;
    tfaRegexSet &operator=(const tfaRegexSet &) = delete;

    // Adds `pattern` for `position`; false, and nothing added, when it does not compile or the
    // set is already compiled.
    bool Add(const std::string &pattern, size_t position);
    // Readies the set for Find after the last Add; false when it cannot be built.
    bool Compile();
    // The earliest position whose pattern matches `text`, NONE, or UNDECIDED.
    size_t Find(std::string_view text) const;
    bool Empty() const { return positions.empty(); }
    // The position each added pattern stands for, in the order added.
    const std::vector<size_t> &Positions() const { return positions; }

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
    std::vector<size_t> positions;
};
