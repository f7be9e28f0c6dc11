#include "support/nft_fake.hpp"

#include <cerrno>

bool tfaNftFake::Faulted(Request kind)
{
    counts[kind]++;
    if (faults[kind] == 0)
        return false;
    errno = faults[kind];
    return true;
}

void tfaNftFake::FailAll(int error)
{
    for (int &fault : faults)
        fault = error;
}

tfaNftFake::Set *tfaNftFake::FindSet(uint8_t family, const std::string &table,
                                     const std::string &set)
{
    auto found = tables.find({family, table});
    if (found == tables.end())
        return nullptr;
    auto named = found->second.sets.find(set);
    return named == found->second.sets.end() ? nullptr : &named->second;
}

void tfaNftFake::Expire(Set &set)
{
    for (auto it = set.elements.begin(); it != set.elements.end();)
        if (it->second.timeout_ms != 0 && now_ms >= it->second.added_ms + it->second.timeout_ms)
            it = set.elements.erase(it);
        else
            ++it;
}

int tfaNftFake::AddTable(uint8_t family, const std::string &table, bool *created)
{
    if (Faulted(ADD_TABLE))
        return -1;
    bool fresh = tables.emplace(TableKey{family, table}, Table()).second;
    if (created != nullptr)
        *created = fresh;
    return 0;
}

int tfaNftFake::GetTable(uint8_t family, const std::string &table)
{
    if (Faulted(GET_TABLE))
        return -1;
    if (tables.count({family, table}) != 0)
        return 0;
    errno = ENOENT;
    return -1;
}

int tfaNftFake::DelTable(uint8_t family, const std::string &table)
{
    if (Faulted(DEL_TABLE))
        return -1;
    if (tables.erase({family, table}) != 0)
        return 0;
    errno = ENOENT;
    return -1;
}

int tfaNftFake::AddSet(uint8_t family, const std::string &table, const std::string &set,
                       const nft_set_spec &spec, bool *created)
{
    if (Faulted(ADD_SET))
        return -1;
    auto found = tables.find({family, table});
    if (found == tables.end()) {
        errno = ENOENT;
        return -1;
    }
    bool fresh = found->second.sets.emplace(set, Set{spec, {}}).second;
    if (created != nullptr)
        *created = fresh;
    return 0;
}

int tfaNftFake::GetSet(uint8_t family, const std::string &table, const std::string &set,
                       nft_set_spec *spec)
{
    if (Faulted(GET_SET))
        return -1;
    Set *found = FindSet(family, table, set);
    if (found == nullptr) {
        errno = ENOENT;
        return -1;
    }
    if (spec != nullptr)
        *spec = found->spec;
    return 0;
}

int tfaNftFake::AddElement(uint8_t family, const std::string &table, const std::string &set,
                           const nft_addr &addr, uint64_t timeout_ms, bool *added)
{
    if (Faulted(ADD_ELEMENT))
        return -1;
    Set *found = FindSet(family, table, set);
    if (found == nullptr) {
        errno = ENOENT;
        return -1;
    }
    if (found->spec.key_len != addr.Length() ||
        (timeout_ms != 0 && !(found->spec.flags & NFT_SET_FLAG_TIMEOUT))) {
        errno = EINVAL;
        return -1;
    }
    Expire(*found);
    bool fresh = found->elements.emplace(addr, Element{timeout_ms, now_ms}).second;
    if (added != nullptr)
        *added = fresh;
    return 0;
}

int tfaNftFake::DelElement(uint8_t family, const std::string &table, const std::string &set,
                           const nft_addr &addr)
{
    if (Faulted(DEL_ELEMENT))
        return -1;
    Set *found = FindSet(family, table, set);
    if (found != nullptr) {
        Expire(*found);
        if (found->elements.erase(addr) != 0)
            return 0;
    }
    errno = ENOENT;
    return -1;
}

int tfaNftFake::FlushSet(uint8_t family, const std::string &table, const std::string &set)
{
    if (Faulted(FLUSH_SET))
        return -1;
    Set *found = FindSet(family, table, set);
    if (found == nullptr) {
        errno = ENOENT;
        return -1;
    }
    found->elements.clear();
    return 0;
}

std::vector<nft_element> tfaNftFake::Listed(Set &set)
{
    Expire(set);
    std::vector<nft_element> listed;
    for (const auto &[addr, element] : set.elements) {
        nft_element entry;
        entry.key.assign(addr.bytes, addr.bytes + addr.Length());
        entry.addr = addr;
        entry.is_addr = true;
        entry.timeout_ms = element.timeout_ms;
        entry.expires_ms =
            element.timeout_ms == 0 ? 0 : element.added_ms + element.timeout_ms - now_ms;
        listed.push_back(entry);
    }
    return listed;
}

int tfaNftFake::ListElements(uint8_t family, const std::string &table, const std::string &set,
                             std::vector<nft_element> *elements)
{
    if (Faulted(LIST_ELEMENTS))
        return -1;
    Set *found = FindSet(family, table, set);
    if (found == nullptr) {
        errno = ENOENT;
        return -1;
    }
    std::vector<nft_element> listed = Listed(*found);
    if (elements != nullptr)
        *elements = std::move(listed);
    return 0;
}

int tfaNftFake::ListSets(std::vector<nft_set_listing> *sets)
{
    if (Faulted(LIST_SETS))
        return -1;
    std::vector<nft_set_listing> listed;
    for (auto &[key, table] : tables)
        for (auto &[name, set] : table.sets) {
            nft_set_listing listing;
            listing.family = std::get<0>(key);
            listing.table = std::get<1>(key);
            listing.set = name;
            listing.spec = set.spec;
            listing.elements = Listed(set);
            listed.push_back(std::move(listing));
        }
    if (sets != nullptr)
        *sets = std::move(listed);
    return 0;
}

std::vector<std::string> tfaNftFake::Addresses(uint8_t family, const std::string &table,
                                               const std::string &set)
{
    std::vector<std::string> addresses;
    Set *found = FindSet(family, table, set);
    if (found == nullptr)
        return addresses;
    Expire(*found);
    for (const auto &[addr, element] : found->elements)
        addresses.push_back(nft_addr_string(addr) +
                            (element.timeout_ms == 0
                                 ? std::string()
                                 : "/" + std::to_string(element.timeout_ms / 1000)));
    return addresses;
}

bool tfaNftFake::HasSet(uint8_t family, const std::string &table, const std::string &set) const
{
    auto found = tables.find({family, table});
    return found != tables.end() && found->second.sets.count(set) != 0;
}
