#include "host/applications.hpp"
#include "host/exception.hpp"
#include "host/json.hpp"
#include "support/temp_dir.hpp"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <string>

namespace
{
const std::string EXAMPLE = TFA_SOURCE_DIR "/examples/applications.json";

class Applications : public ::testing::Test
{
protected:
    std::string Write(const std::string &name, const std::string &text)
    {
        return scratch.Write(name, text);
    }

    // The message of the exception that loading `path` raises, or "" when it loads.
    static std::string LoadFault(tdApplications &apps, const std::string &path)
    {
        try {
            apps.Load(path);
        } catch (const tdException &e) {
            return e.what();
        }
        return "";
    }

    TempDir scratch{"tfa-applications"};
    const std::string dir = scratch.path;
};

TEST_F(Applications, ExampleCatalogue)
{
    tdApplications apps;
    apps.Load(EXAMPLE);
    EXPECT_GE(apps.GetCount(), 30u);

    const char *required[] = {"tarvix.facebook", "tarvix.telegram",   "tarvix.netflix",
                              "tarvix.youtube",  "tarvix.google",     "tarvix.whatsapp",
                              "tarvix.tiktok",   "tarvix.bittorrent", "tarvix.zoom",
                              "tarvix.github"};
    for (const char *tag : required) {
        SCOPED_TRACE(tag);
        tdApplication by_tag, by_id;
        ASSERT_TRUE(apps.Lookup(tag, by_tag));
        EXPECT_EQ(by_tag.tag, tag);
        ASSERT_TRUE(apps.Lookup(by_tag.id, by_id));
        EXPECT_EQ(by_id.tag, tag);
    }
    tdApplication facebook;
    ASSERT_TRUE(apps.Lookup("tarvix.facebook", facebook));
    EXPECT_EQ(facebook.id, 119u);
}

// Criteria name applications by their bare name, so every tag must be "tarvix." plus one word.
TEST_F(Applications, ExampleTagsHaveOneNamespace)
{
    std::ifstream file(EXAMPLE);
    json catalogue = json::parse(file);
    for (const auto &entry : catalogue["applications"]) {
        std::string tag = entry["tag"];
        SCOPED_TRACE(tag);
        EXPECT_EQ(tag.rfind("tarvix.", 0), 0u);
        EXPECT_EQ(tag.find('.', 7), std::string::npos);
        EXPECT_GT(tag.size(), 7u);
    }
}

TEST_F(Applications, LookupMisses)
{
    tdApplications apps;
    apps.Load(EXAMPLE);
    const std::string tags[] = {"", "facebook", "TARVIX.FACEBOOK", "tarvix.facebook ",
                                "tarvix.myspace"};
    for (const auto &tag : tags) {
        SCOPED_TRACE("tag '" + tag + "'");
        tdApplication app{7, "kept"};
        EXPECT_FALSE(apps.Lookup(tag, app));
        EXPECT_EQ(app.id, 7u);
        EXPECT_EQ(app.tag, "kept");
    }
    for (tdApp::Id id : {0u, 1u, 999999u, 4294967295u}) {
        SCOPED_TRACE(id);
        tdApplication app{7, "kept"};
        EXPECT_FALSE(apps.Lookup(id, app));
        EXPECT_EQ(app.id, 7u);
    }
}

TEST_F(Applications, Faults)
{
    struct Row {
        const char *name;
        const char *text;    // null: the file is not written
        const char *message; // after "<path>: "
    };
    const Row rows[] = {
        {"missing.json", nullptr, "No such file or directory"},
        {"not-object.json", "[]", "expected an object with an \"applications\" array"},
        {"no-list.json", "{}", "expected an object with an \"applications\" array"},
        {"list-object.json", R"({"applications": {}})",
         "expected an object with an \"applications\" array"},
        {"entry-number.json", R"({"applications": [1]})",
         "applications[0]: expected {\"id\": unsigned, \"tag\": string}"},
        {"no-tag.json", R"({"applications": [{"id": 1, "tag": "tarvix.a"}, {"id": 2}]})",
         "applications[1]: expected {\"id\": unsigned, \"tag\": string}"},
        {"negative-id.json", R"({"applications": [{"id": -1, "tag": "tarvix.a"}]})",
         "applications[0]: expected {\"id\": unsigned, \"tag\": string}"},
        {"float-id.json", R"({"applications": [{"id": 1.5, "tag": "tarvix.a"}]})",
         "applications[0]: expected {\"id\": unsigned, \"tag\": string}"},
        {"string-id.json", R"({"applications": [{"id": "1", "tag": "tarvix.a"}]})",
         "applications[0]: expected {\"id\": unsigned, \"tag\": string}"},
        {"empty-tag.json", R"({"applications": [{"id": 1, "tag": ""}]})",
         "applications[0]: expected {\"id\": unsigned, \"tag\": string}"},
        {"zero-id.json", R"({"applications": [{"id": 0, "tag": "tarvix.a"}]})",
         "applications[0]: id out of range 1 to 4294967295"},
        {"wide-id.json", R"({"applications": [{"id": 4294967296, "tag": "tarvix.a"}]})",
         "applications[0]: id out of range 1 to 4294967295"},
        {"duplicate-id.json",
         R"({"applications": [{"id": 5, "tag": "tarvix.a"}, {"id": 5, "tag": "tarvix.b"}]})",
         "applications[1]: duplicate id: 5"},
        {"duplicate-tag.json",
         R"({"applications": [{"id": 5, "tag": "tarvix.a"}, {"id": 6, "tag": "tarvix.a"}]})",
         "applications[1]: duplicate tag: tarvix.a"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        std::string path = row.text ? Write(row.name, row.text) : dir + "/" + row.name;
        tdApplications apps;
        EXPECT_EQ(LoadFault(apps, path), path + ": " + row.message);
        EXPECT_EQ(apps.GetCount(), 0u);
    }
}

TEST_F(Applications, UnreadableAndMalformedNameTheFile)
{
    tdApplications apps;
    EXPECT_EQ(LoadFault(apps, dir), dir + ": Is a directory");

    std::string path = Write("broken.json", "{\"applications\": [\n  {\"id\": 1,,}\n]}");
    std::string fault = LoadFault(apps, path);
    EXPECT_EQ(fault.rfind(path + ": ", 0), 0u) << fault;
    EXPECT_NE(fault.find("line 2"), std::string::npos) << fault;
}

TEST_F(Applications, CommentsAllowed)
{
    tdApplications apps;
    apps.Load(Write("commented.json", "// catalogue\n{\"applications\": [\n"
                                      "  /* first */ {\"id\": 3, \"tag\": \"tarvix.a\"}\n]}"));
    tdApplication app;
    ASSERT_TRUE(apps.Lookup("tarvix.a", app));
    EXPECT_EQ(app.id, 3u);
}

TEST_F(Applications, ReloadReplacesAndFailedLoadKeeps)
{
    tdApplications apps;
    apps.Load(Write("a.json", R"({"applications": [{"id": 1, "tag": "tarvix.a"}]})"));
    apps.Load(Write("b.json", R"({"applications": [{"id": 2, "tag": "tarvix.b"}]})"));
    tdApplication app;
    EXPECT_FALSE(apps.Lookup(1, app));
    EXPECT_FALSE(apps.Lookup("tarvix.a", app));
    ASSERT_TRUE(apps.Lookup(2, app));
    EXPECT_EQ(app.tag, "tarvix.b");

    EXPECT_NE(LoadFault(apps, Write("bad.json",
                                    R"({"applications": [{"id": 3, "tag": "tarvix.c"}, 7]})")),
              "");
    EXPECT_EQ(apps.GetCount(), 1u);
    EXPECT_TRUE(apps.Lookup("tarvix.b", app));
    EXPECT_FALSE(apps.Lookup(3, app));
}
} // namespace
