#include "tools/replay/echo_text.hpp"

#include <gtest/gtest.h>

namespace
{
TEST(EchoText, EscapesControlsAndCapsWholeCharacters)
{
    struct Row {
        const char *name;
        std::string text;
        size_t limit;
        std::string echoed;
    };
    const Row rows[] = {
        {"plain", "em0", 64, "em0"},
        {"C0 and DEL", "a\x1b[2J\x7f\n", 64, "a\\x1b[2J\\x7f\\x0a"},
        {"C1 as UTF-8",
         "\xc2\x9b"
         "31m",
         64, "\\xc2\\x9b31m"},
        {"printable UTF-8 kept", "caf\xc3\xa9 \xe2\x82\xac", 64, "caf\xc3\xa9 \xe2\x82\xac"},
        {"invalid UTF-8", "\xff\xc3(\xed\xa0\x80", 64, "\\xff\\xc3(\\xed\\xa0\\x80"},
        {"overlong encoding", "\xc0\xaf", 64, "\\xc0\\xaf"},
        {"capped", "abcdefgh", 4, "abcd..."},
        {"never splits a character", "ab\xe2\x82\xac", 4, "ab..."},
        {"exactly the limit", "abcd", 4, "abcd"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(tfaEchoText(row.text, row.limit), row.echoed);
    }
}
} // namespace
