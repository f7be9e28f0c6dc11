#include "rules/protocols.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <gtest/gtest.h>
#include <set>
#include <string>

namespace
{
std::string Lowered(const char *name)
{
    std::string text(name);
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

TEST(Protocols, CountAndRange)
{
    const auto &names = tdProto::GetNames();
    EXPECT_EQ(names.size(), 301u);
    auto [low, high] = std::minmax_element(
        names.begin(), names.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    EXPECT_EQ(low->first, -1);
    EXPECT_EQ(high->first, 435);
}

// The criteria's name search stops at its first hit, which is only sound with these properties.
TEST(Protocols, NamesUniqueIgnoringCaseAndBounded)
{
    std::set<std::string> seen;
    for (const auto &[id, name] : tdProto::GetNames()) {
        SCOPED_TRACE(id);
        ASSERT_NE(name, nullptr);
        EXPECT_GT(strlen(name), 0u);
        EXPECT_LE(strlen(name), tdProto::NAME_MAX_LENGTH);
        EXPECT_TRUE(seen.insert(Lowered(name)).second) << name;
    }
}

TEST(Protocols, EntriesAndGaps)
{
    struct Row {
        tdProto::Id id;
        const char *name; // null for a gap
    };
    const Row rows[] = {
        {-2, nullptr},
        {-1, "TODO"},
        {0, "Unknown"},
        {1, "FTP/C"},
        {5, "DNS"},
        {21, "FTP/S"},
        {22, nullptr},
        {23, "POP3/S"},
        {38, "Skype/Teams/Call"},
        {91, "TLS"},
        {196, "HTTP/S"},
        {277, "IEC/60870/5/104"},
        {330, "ISO/11898/1/CAN"},
        {382, "ElderScrollsOnline"},
        {386, "ZUG"},
        {387, nullptr},
        {400, nullptr},
        {415, nullptr},
        {416, "JRMI"},
        {419, nullptr},
        {428, "paltalk"},
        {435, "GearUPBooster"},
        {436, nullptr},
    };
    const auto &names = tdProto::GetNames();
    for (const auto &row : rows) {
        SCOPED_TRACE(row.id);
        auto entry = names.find(row.id);
        if (row.name == nullptr) {
            EXPECT_EQ(entry, names.end());
            continue;
        }
        ASSERT_NE(entry, names.end());
        EXPECT_STREQ(entry->second, row.name);
    }
    for (tdProto::Id id = 387; id <= 415; id++)
        EXPECT_EQ(names.count(id), 0u) << id;
}
} // namespace
