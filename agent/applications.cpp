#include "host/applications.hpp"

#include "host/exception.hpp"
#include "host/json.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace
{
// The whole file; a read fault (a directory, an I/O error) throws naming the file, never a
// stream exception of its own.
std::string ReadFile(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw tdException("%s: %s", path.c_str(), strerror(errno));
    std::string text;
    char block[4096];
    while (file.read(block, sizeof(block)) || file.gcount() > 0)
        text.append(block, static_cast<size_t>(file.gcount()));
    if (file.bad())
        throw tdException("%s: %s", path.c_str(), strerror(errno));
    return text;
}

json ParseFile(const std::string &path)
{
    try {
        return json::parse(ReadFile(path), nullptr, true, true);
    } catch (const json::parse_error &e) {
        throw tdException("%s: %s", path.c_str(), e.what());
    }
}
} // namespace

void tdApplications::Load(const std::string &path)
{
    json catalogue = ParseFile(path);
    auto list = catalogue.find("applications");
    if (!catalogue.is_object() || list == catalogue.end() || !list->is_array())
        throw tdException("%s: expected an object with an \"applications\" array", path.c_str());

    std::unordered_map<tdApp::Id, std::string> ids;
    std::unordered_map<std::string, tdApp::Id> tags;
    size_t index = 0;
    for (const auto &entry : *list) {
        auto id = entry.find("id");
        auto tag = entry.find("tag");
        if (!entry.is_object() || id == entry.end() || !id->is_number_unsigned() ||
            tag == entry.end() || !tag->is_string() || tag->get_ref<const std::string &>().empty())
            throw tdException("%s: applications[%zu]: expected {\"id\": unsigned, \"tag\": string}",
                              path.c_str(), index);
        if (id->get<uint64_t>() == 0 || id->get<uint64_t>() > UINT32_MAX)
            throw tdException("%s: applications[%zu]: id out of range 1 to 4294967295",
                              path.c_str(), index);
        auto app_id = id->get<tdApp::Id>();
        const auto &app_tag = tag->get_ref<const std::string &>();
        if (!ids.emplace(app_id, app_tag).second)
            throw tdException("%s: applications[%zu]: duplicate id: %u", path.c_str(), index,
                              app_id);
        if (!tags.emplace(app_tag, app_id).second)
            throw tdException("%s: applications[%zu]: duplicate tag: %s", path.c_str(), index,
                              app_tag.c_str());
        index++;
    }
    by_id = std::move(ids);
    by_tag = std::move(tags);
}

bool tdApplications::Lookup(tdApp::Id id, tdApplication &app) const
{
    auto it = by_id.find(id);
    if (it == by_id.end())
        return false;
    app.id = id;
    app.tag = it->second;
    return true;
}

bool tdApplications::Lookup(const std::string &tag, tdApplication &app) const
{
    auto it = by_tag.find(tag);
    if (it == by_tag.end())
        return false;
    app.id = it->second;
    app.tag = tag;
    return true;
}
