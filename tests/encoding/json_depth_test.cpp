#include "encoding/json_depth.hpp"

#include <gtest/gtest.h>
#include <string>

namespace
{
constexpr size_t FITS = std::string_view::npos;

TEST(JsonDepth, FindsTheFirstBracketPastTheLimit)
{
    struct Row {
        const char *name;
        std::string text;
        size_t limit;
        size_t offset;
    };
    const Row rows[] = {
        {"scalar", "12", 0, FITS},
        {"at the limit", R"({"a": [1, {"b": []}]})", 4, FITS},
        {"one past", R"({"a": [1, {"b": []}]})", 3, 16},
        {"siblings do not add up", "[[], [], {}, [[]]]", 3, FITS},
        {"brackets in strings", R"(["[[[{{{", "\"[[["])", 1, FITS},
        {"escaped backslash ends the string", R"(["\\", [[]]])", 2, 8},
        {"closers without openers", "]]]}}[[", 1, 6},
        {"deep and unclosed", std::string(100000, '['), 128, 128},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(tfaJsonTooDeep(row.text, row.limit), row.offset);
    }
}
} // namespace
