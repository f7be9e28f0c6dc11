#include "rules/regex_set.hpp"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace
{
constexpr size_t NONE = tfaRegexSet::NONE;

TEST(RegexSet, AnswersWithTheEarliestPatternFoundAnywhere)
{
    tfaRegexSet set;
    EXPECT_EQ(set.Find("anything"), NONE);
    ASSERT_TRUE(set.Add("\\.example\\.com$", 3));
    ASSERT_TRUE(set.Add("^www\\.", 7));
    ASSERT_TRUE(set.Add("(?i)EXAMPLE", 9));
    EXPECT_FALSE(set.Add("(", 11));
    EXPECT_EQ(set.Find("www.example.com"), tfaRegexSet::UNDECIDED) << "not compiled yet";
    ASSERT_TRUE(set.Compile());
    EXPECT_FALSE(set.Add("late", 12));
    EXPECT_EQ(set.Positions(), (std::vector<size_t>{3, 7, 9}));

    struct Row {
        const char *text;
        size_t expected;
    };
    for (const Row &row : std::vector<Row>{{"www.example.com", 3},
                                           {"www.example.org", 7},
                                           {"cdn.Example.net", 9},
                                           {"example.com.evil", 9},
                                           {"nothing", NONE},
                                           {"", NONE}}) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(set.Find(row.text), row.expected);
    }
}
// A set too large for its memory bound is refused whole, and then decides nothing.
TEST(RegexSet, TooLargeForItsBoundDecidesNothing)
{
    constexpr int64_t SMALL = 4096;
    tfaRegexSet set(SMALL);
    for (size_t position = 0; position < 200; position++)
        ASSERT_TRUE(set.Add("^h" + std::to_string(position) + "\\.example\\.net$", position));
    EXPECT_FALSE(set.Compile());
    EXPECT_EQ(set.Find("h7.example.net"), tfaRegexSet::UNDECIDED);
}
} // namespace
