#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>

namespace tdProto
{
// The host's protocol identifiers; flows carry them as their detected protocol.
using Id = int32_t;

// No name is longer, and no two names are equal ignoring case, so a case-insensitive search
// may stop at its first hit.
constexpr size_t NAME_MAX_LENGTH = 32;

using Names = std::unordered_map<Id, const char *>;

// Every protocol the host knows, identifier to display name. Built on first use, never changed
// afterwards, so readers need no lock.
const Names &GetNames();
} // namespace tdProto
