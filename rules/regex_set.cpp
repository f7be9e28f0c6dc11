#include "rules/regex_set.hpp"

#include <algorithm>
#include <re2/re2.h>
#include <re2/set.h>

namespace
{
re2::RE2::Options SetOptions(int64_t max_memory)
{
    re2::RE2::Options options;
    options.set_log_errors(false);
    options.set_never_capture(true);
    options.set_max_mem(max_memory);
    return options;
}
} // namespace

struct tfaRegexSet::Impl {
    explicit Impl(int64_t max_memory) : set(SetOptions(max_memory), re2::RE2::UNANCHORED) {}
    re2::RE2::Set set;
    bool compiled = false;
    mutable std::vector<int> matches;
};

tfaRegexSet::tfaRegexSet(int64_t max_memory) : impl(std::make_unique<Impl>(max_memory)) {}
tfaRegexSet::~tfaRegexSet() = default;

bool tfaRegexSet::Add(const std::string &pattern, size_t position)
{
    if (impl->compiled || impl->set.Add(pattern, nullptr) < 0)
        return false;
    positions.push_back(position);
    return true;
}

bool tfaRegexSet::Compile()
{
    impl->compiled = impl->set.Compile();
    return impl->compiled;
}

size_t tfaRegexSet::Find(std::string_view text) const
{
    if (positions.empty())
        return NONE;
    if (!impl->compiled)
        return UNDECIDED;
    // Most texts match nothing, which the search without match tracking settles soonest.
    re2::StringPiece piece(text.data(), text.size());
    re2::RE2::Set::ErrorInfo error;
    if (!impl->set.Match(piece, nullptr, &error))
        return error.kind == re2::RE2::Set::kNoError ? NONE : UNDECIDED;
    if (!impl->set.Match(piece, &impl->matches, &error))
        return UNDECIDED;
    size_t earliest = NONE;
    for (int index : impl->matches)
        earliest = std::min(earliest, positions[size_t(index)]);
    return earliest;
}
