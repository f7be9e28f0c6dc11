#include <gtest/gtest.h>

#include "host/serializer.hpp"

namespace {
const tdSerializer serializer;

TEST(Serializer, OneAndTwoKeyPaths)
{
    json j;
    serializer.serialize(j, {"a"}, std::string("x"));
    serializer.serialize(j, {"g", "one"}, uint32_t(1));
    serializer.serialize(j, {"g", "two"}, true);
    serializer.serialize(j, {"g", "one"}, uint8_t(7)); // replaces, keeps the sibling
    EXPECT_EQ(j, json::parse(R"({"a": "x", "g": {"one": 7, "two": true}})"));
}

TEST(Serializer, SkippedValuesLeaveNothingBehind)
{
    struct Row {
        const char *name;
        std::function<void(json &)> write;
    };
    const Row rows[] = {
        {"empty string", [](json &j) { serializer.serialize(j, {"g", "k"}, std::string()); }},
        {"empty vector",
         [](json &j) { serializer.serialize(j, {"g", "k"}, std::vector<std::string>()); }},
        {"null json", [](json &j) { serializer.serialize(j, {"g", "k"}, json()); }},
        {"empty array", [](json &j) { serializer.serialize(j, {"g", "k"}, json::array()); }},
        {"empty object", [](json &j) { serializer.serialize(j, {"g", "k"}, json::object()); }},
        {"empty path", [](json &j) { serializer.serialize(j, {}, std::string("v")); }},
        {"three keys", [](json &j) { serializer.serialize(j, {"g", "k", "x"}, uint32_t(1)); }},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        json j = json::object();
        row.write(j);
        EXPECT_EQ(j, json::object());
    }
}

TEST(Serializer, ZeroFalseAndEmptyCStringAreWritten)
{
    json j;
    serializer.serialize(j, {"u8"}, uint8_t(0));
    serializer.serialize(j, {"u16"}, uint16_t(0));
    serializer.serialize(j, {"u32"}, uint32_t(0));
    serializer.serialize(j, {"u64"}, uint64_t(0));
    serializer.serialize(j, {"b"}, false);
    serializer.serialize(j, {"d"}, 0.0);
    serializer.serialize(j, {"c"}, "");
    EXPECT_EQ(j, json::parse(R"({"u8": 0, "u16": 0, "u32": 0, "u64": 0, "b": false, "d": 0.0,
                                 "c": ""})"));
    EXPECT_TRUE(j["u64"].is_number_unsigned());
    EXPECT_TRUE(j["d"].is_number_float());
}

TEST(Serializer, ValuesOfEveryKind)
{
    json j;
    serializer.serialize(j, {"list"}, std::vector<std::string>{"h2", "http/1.1"}, "ignored");
    serializer.serialize(j, {"obj"}, json{{"k", 1}});
    serializer.serialize(j, {"big"}, uint64_t(18446744073709551615ull));
    EXPECT_EQ(j, json::parse(R"({"list": ["h2", "http/1.1"], "obj": {"k": 1},
                                 "big": 18446744073709551615})"));
}
} // namespace
