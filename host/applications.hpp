#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

namespace tdApp
{
using Id = uint32_t;
}

struct tdApplication {
    tdApp::Id id = 0;
    std::string tag;
};

// The host's application catalogue: identifiers and tags of the form "tarvix.name".
class tdApplications
{
public:
    // Replaces the catalogue with the file's {"applications": [{"id": N, "tag": "..."}, ...]}.
    // Throws tdException naming the file when it cannot be read or is malformed; the catalogue
    // is then left as it was.
    void Load(const std::string &path);

    // True when the application exists; `app` is then filled, else left untouched.
    bool Lookup(tdApp::Id id, tdApplication &app) const;
    bool Lookup(const std::string &tag, tdApplication &app) const;
    size_t GetCount() const { return by_id.size(); }

private:
    std::unordered_map<tdApp::Id, std::string> by_id;
    std::unordered_map<std::string, tdApp::Id> by_tag;
};
