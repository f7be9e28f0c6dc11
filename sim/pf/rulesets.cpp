#include "sim/pf/rulesets.hpp"

#include <cerrno>

namespace pfsim
{

Rulesets::Rulesets()
{
    Clear();
}

void Rulesets::Clear()
{
    anchors.clear();
    anchors[""];
}

std::string Rulesets::Normalize(const char *path)
{
    while (*path == '/')
        path++;
    return path;
}

bool Rulesets::Exists(const std::string &path) const
{
    return anchors.count(path) != 0;
}

bool Rulesets::Resolve(const std::string &path, std::string &anchor) const
{
    if (Exists(path)) {
        anchor = path;
        return true;
    }
    // The nearest existing ancestor, found by cutting at the last slash, then the one before.
    bool has_parent = false;
    std::string parent = path;
    size_t start = 0;
    for (size_t slash; (slash = parent.rfind('/')) != std::string::npos;) {
        parent.resize(slash);
        if (Exists(parent)) {
            has_parent = true;
            start = slash + 1;
            break;
        }
    }
    if (start == path.size())
        return false;
    // Then every missing part in turn; a trailing slash ends the walk.
    std::string current = has_parent ? parent : std::string();
    for (size_t from = start;;) {
        size_t slash = path.find('/', from);
        std::string part = path.substr(from, slash == std::string::npos ? slash : slash - from);
        if (part.empty() && slash == std::string::npos)
            break;
        if (part.empty() || part.size() >= PF_ANCHOR_NAME_SIZE ||
            (has_parent && current.size() >= PF_ANCHOR_PATH_SIZE - PF_ANCHOR_NAME_SIZE - 1))
            return false;
        current = has_parent ? current + "/" + part : part;
        has_parent = true;
        if (slash == std::string::npos)
            break;
        from = slash + 1;
    }
    anchor = current;
    return true;
}

bool Rulesets::ValidRuleset(int rs)
{
    return (rs >= 0 && rs < PF_RULESET_MAX) || rs == PF_RULESET_TABLE;
}

std::string Rulesets::Parent(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::vector<std::string> Rulesets::Children(const std::string &path) const
{
    std::vector<std::string> children;
    for (const auto &anchor : anchors)
        if (!anchor.first.empty() && Parent(anchor.first) == path)
            children.push_back(anchor.first);
    return children;
}

int Rulesets::CountChildren(const std::string &path, uint32_t &count) const
{
    if (!Exists(path))
        return ENOENT;
    count = static_cast<uint32_t>(Children(path).size());
    return 0;
}

int Rulesets::ChildName(const std::string &path, uint32_t index, std::string &name) const
{
    if (!Exists(path))
        return ENOENT;
    auto children = Children(path);
    if (index >= children.size())
        return EBUSY;
    const std::string &child = children[index];
    name = path.empty() ? child : child.substr(path.size() + 1);
    return 0;
}

void Rulesets::Create(const std::string &path)
{
    for (size_t slash = path.find('/'); slash != std::string::npos;
         slash = path.find('/', slash + 1))
        anchors[path.substr(0, slash)];
    anchors[path];
}

void Rulesets::RemoveIfEmpty(std::string path)
{
    while (!path.empty()) {
        auto anchor = anchors.find(path);
        if (anchor == anchors.end() || anchor->second.tables != 0 || !Children(path).empty())
            return;
        for (const auto &rules : anchor->second.rules)
            if (rules.open)
                return;
        if (anchor->second.table_rules.open)
            return;
        anchors.erase(anchor);
        path = Parent(path);
    }
}

void Rulesets::AttachTable(const std::string &path)
{
    Create(path);
    anchors[path].tables++;
}

void Rulesets::DetachTable(const std::string &path)
{
    auto anchor = anchors.find(path);
    if (anchor == anchors.end() || anchor->second.tables == 0)
        return;
    anchor->second.tables--;
    RemoveIfEmpty(path);
}

int Rulesets::Begin(int rs, const std::string &path, uint32_t &ticket)
{
    if (!ValidRuleset(rs))
        return EINVAL;
    std::string anchor;
    if (!Resolve(path, anchor))
        return rs == PF_RULESET_TABLE ? ENOMEM : EINVAL;
    Create(anchor);
    Ruleset &rules = Slot(anchors[anchor], rs);
    rules.open = true;
    ticket = ++rules.ticket;
    return 0;
}

int Rulesets::CheckCommit(int rs, const std::string &path, uint32_t ticket) const
{
    if (!ValidRuleset(rs))
        return EINVAL;
    auto anchor = anchors.find(path);
    if (anchor == anchors.end())
        return EBUSY;
    const Ruleset &rules = Slot(anchor->second, rs);
    return rules.open && rules.ticket == ticket ? 0 : EBUSY;
}

void Rulesets::Commit(int rs, const std::string &path)
{
    Slot(anchors[path], rs).open = false;
    RemoveIfEmpty(path);
}

std::vector<std::string> Rulesets::List() const
{
    std::vector<std::string> paths;
    for (const auto &anchor : anchors)
        if (!anchor.first.empty())
            paths.push_back(anchor.first);
    return paths;
}

} // namespace pfsim
