#include "host/json_text.hpp"

#include <gtest/gtest.h>

namespace
{
TEST(JsonText, Renders)
{
    struct Row {
        const char *label;
        json value;
        bool pretty;
        std::string expected;
    };
    const Row rows[] = {
        {"compact object", json{{"b", 1}, {"a", {1, 2}}}, false, R"({"a":[1,2],"b":1})"},
        {"compact empty object", json::object(), false, "{}"},
        {"compact null", json(), false, "null"},
        {"compact string", json("x\"y\n"), false, R"("x\"y\n")"},
        {"pretty object", json{{"a", 1}, {"b", {true}}}, true,
         "{\n    \"a\": 1,\n    \"b\": [\n        true\n    ]\n}"},
        {"invalid UTF-8 replaced",
         json{{"k", std::string("a\xff"
                                "b")}},
         false,
         "{\"k\":\"a\xef\xbf\xbd"
         "b\"}"},
        {"truncated sequence replaced", json(std::string("\xc3")), false, "\"\xef\xbf\xbd\""},
        {"valid UTF-8 kept", json(std::string("\xc3\xa9")), false, "\"\xc3\xa9\""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        std::string out = "previous text";
        EXPECT_NO_THROW(td_json_to_string(row.value, out, row.pretty));
        EXPECT_EQ(out, row.expected);
    }
}

TEST(JsonText, CompactOutputParsesBack)
{
    json document = {{"entries", {{{"dst_port", 443}, {"src_addr", "192.0.2.1"}}}},
                     {"time_end", 1700000060},
                     {"time_start", 1700000000}};
    std::string out;
    td_json_to_string(document, out, false);
    EXPECT_EQ(out.find('\n'), std::string::npos);
    EXPECT_EQ(json::parse(out), document);
}
} // namespace
