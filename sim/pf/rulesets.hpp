#pragma once

#include "targets/pf/pfvar.hpp"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace pfsim
{

// pf's anchor tree with the transaction state of each ruleset. Paths are given without leading
// slashes ("" is the main ruleset, which always exists). Results are errno values, 0 on success.
class Rulesets
{
public:
    Rulesets();

    // The path with its leading slashes removed, as pf looks anchors up.
    static std::string Normalize(const char *path);

    bool Exists(const std::string &path) const;
    // The anchor pf finds or creates for `path` (normalized), walking it as the kernel does:
    // from the nearest existing ancestor, one part at a time. False where pf gives up: an empty
    // part, a part of PF_ANCHOR_NAME_SIZE characters or more, a parent path too long to extend,
    // or nothing left to create after an existing ancestor ("a/" once "a" exists). "a/" names
    // "a" while "a" is missing.
    bool Resolve(const std::string &path, std::string &anchor) const;

    // Number of anchors directly under `path`; ENOENT when it does not exist.
    int CountChildren(const std::string &path, uint32_t &count) const;
    // Name of the child at `index` in tree order; ENOENT for a missing path, EBUSY past the end.
    int ChildName(const std::string &path, uint32_t index, std::string &name) const;

    // A table was created in / removed from the anchor `path` (as Resolve gave it); the anchor
    // and its parents are created and removed again once empty.
    void AttachTable(const std::string &path);
    void DetachTable(const std::string &path);

    // Opens ruleset `rs` of `path` for a transaction and hands out its ticket. `rs` is a rule
    // set below PF_RULESET_MAX, or PF_RULESET_TABLE for the anchor's tables. EINVAL for another
    // number; a path that Resolve refuses gives EINVAL for rules, ENOMEM for tables.
    int Begin(int rs, const std::string &path, uint32_t &ticket);
    // EINVAL for a bad ruleset number; EBUSY when the anchor is missing (looked up as given, not
    // resolved), the ruleset was not begun or the ticket differs.
    int CheckCommit(int rs, const std::string &path, uint32_t ticket) const;
    // Closes the transaction (no rules are kept) and removes the anchor if now empty. Only after
    // CheckCommit succeeded.
    void Commit(int rs, const std::string &path);

    // Every anchor except the main ruleset, in tree order.
    std::vector<std::string> List() const;
    // Forgets every anchor and transaction.
    void Clear();

private:
    struct Ruleset {
        bool open = false;
        uint32_t ticket = 0;
    };
    struct Anchor {
        unsigned tables = 0;
        Ruleset rules[PF_RULESET_MAX];
        Ruleset table_rules; // PF_RULESET_TABLE
    };

    static bool ValidRuleset(int rs);
    // The transaction state of ruleset `rs` (ValidRuleset) of `anchor`, const or not.
    template <class AnchorT> static auto &Slot(AnchorT &anchor, int rs)
    {
        return rs == PF_RULESET_TABLE ? anchor.table_rules : anchor.rules[rs];
    }
    static std::string Parent(const std::string &path);
    std::vector<std::string> Children(const std::string &path) const;
    void Create(const std::string &path);
    void RemoveIfEmpty(std::string path);

    std::map<std::string, Anchor> anchors;
};

} // namespace pfsim
