#include "host/strings.hpp"

#include <gtest/gtest.h>

namespace
{
TEST(Strings, Trim)
{
    struct Row {
        const char *name;
        void (*trim)(std::string &, unsigned char);
        const char *input;
        unsigned char ch;
        const char *expected;
    };
    const Row rows[] = {
        {"ltrim spaces and tabs", td_ltrim, " \t\n x y \t", 0, "x y \t"},
        {"rtrim white space", td_rtrim, " x y \t\r\n", 0, " x y"},
        {"trim both ends", td_trim, "\t x y \n", 0, "x y"},
        {"trim a character", td_trim, "//a/b//", '/', "a/b"},
        {"ltrim a character keeps spaces", td_ltrim, "  ##x", '#', "  ##x"},
        {"only trimmed characters", td_trim, " \t ", 0, ""},
        {"empty text", td_ltrim, "", 0, ""},
        {"nothing to trim", td_trim, "abc", 0, "abc"},
        {"high bytes are not white space", td_trim, "\xc3\xa9 ", 0, "\xc3\xa9"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        std::string text = row.input;
        row.trim(text, row.ch);
        EXPECT_EQ(text, row.expected);
    }
}

TEST(Strings, ExpandVariables)
{
    const std::map<std::string, std::string> vars = {
        {"path_state_persistent", "/etc/tarvixd"},
        {"empty", ""},
        {"loop", "${loop}"},
    };
    struct Row {
        const char *input;
        const char *expected;
    };
    const Row rows[] = {
        {"${path_state_persistent}/criteria.d", "/etc/tarvixd/criteria.d"},
        {"${path_state_persistent}${path_state_persistent}", "/etc/tarvixd/etc/tarvixd"},
        {"a${empty}b", "ab"},
        {"${unknown}/x", "${unknown}/x"},
        {"${unterminated", "${unterminated"},
        {"$path_state_persistent", "$path_state_persistent"},
        {"${a${empty}}", "${a}"},
        {"${loop}", "${loop}"},
        {"", ""},
        {"plain text", "plain text"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.input);
        std::string out = "old";
        td_expand_variables(row.input, out, vars);
        EXPECT_EQ(out, row.expected);
    }
}

TEST(Strings, ExpandInPlace)
{
    std::string text = "${dir}/x";
    td_expand_variables(text, text, {{"dir", "/var"}});
    EXPECT_EQ(text, "/var/x");
}
} // namespace
