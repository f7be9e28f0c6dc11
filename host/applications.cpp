#include "host/applications.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>

#include "host/exception.hpp"
#include "host/json.hpp"

void tdApplications::Load(const std::string &path)
{
    std::ifstream file(path);
    if (!file)
        throw tdException("%s: %s", path.c_str(), strerror(errno));

    json catalogue = json::parse(file, nullptr, false, true);
    if (catalogue.is_discarded())
        throw tdException("%s: JSON parse error", path.c_str());
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
        if (!ids.emplace(app_id, app_tag).second || !tags.emplace(app_tag, app_id).second)
            throw tdException("%s: applications[%zu]: duplicate id or tag: %u, %s", path.c_str(),
                              index, app_id, app_tag.c_str());
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
