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

bool Rulesets::Creatable(const std::string &path)
{
    if (path.empty())
        return true;
    size_t start = 0;
    for (;;) {
        size_t end = path.find('/', start);
        size_t length = (end == std::string::npos ? path.size() : end) - start;
        if (length == 0 || length >= PF_ANCHOR_NAME_SIZE)
            return false;
        if (end == std::string::npos)
            return true;
        start = end + 1;
    }
}

bool Rulesets::Exists(const std::string &path) const
{
    return anchors.count(path) != 0;
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
    if (rs < 0 || rs >= PF_RULESET_MAX || !Creatable(path))
        return EINVAL;
    Create(path);
    Ruleset &rules = anchors[path].rules[rs];
    rules.open = true;
    ticket = ++rules.ticket;
    return 0;
}

int Rulesets::CheckCommit(int rs, const std::string &path, uint32_t ticket) const
{
    if (rs < 0 || rs >= PF_RULESET_MAX)
        return EINVAL;
    auto anchor = anchors.find(path);
    if (anchor == anchors.end())
        return EBUSY;
    const Ruleset &rules = anchor->second.rules[rs];
    return rules.open && rules.ticket == ticket ? 0 : EBUSY;
}

void Rulesets::Commit(int rs, const std::string &path)
{
    anchors[path].rules[rs].open = false;
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
