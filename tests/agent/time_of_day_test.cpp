#include "agent/time_zone.hpp"
#include "host/exception.hpp"
#include "host/time_of_day.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

#include <ctime>
#include <filesystem>
#include <gtest/gtest.h>

namespace
{
constexpr int SUN = 0, MON = 1, TUE = 2, WED = 3, FRI = 5, SAT = 6;

// A time value on the first week of 1970 that starts on a Sunday (4 January).
int64_t At(int weekday, int hour, int minute, int second = 0)
{
    return (3 + weekday) * 86400 + hour * 3600 + minute * 60 + second;
}

tdTimeOfDay Window(const json &element)
{
    tdTimeOfDay tod;
    tdTimeOfDay::Load(tod, "00:00", "23:59", tdTimeOfDay::ALL_DAYS, tdTimeOfDay::POLICY_INSIDE);
    tdTimeOfDay::Load(tod, element);
    return tod;
}

std::string Describe(const tdTimeOfDay &tod)
{
    std::string text;
    tdTimeOfDay::Describe(tod, text);
    return text;
}

TEST(TimeOfDay, LoadTimes)
{
    struct Row {
        const char *start;
        const char *end;
        uint8_t days;
        uint8_t policy;
        const char *description;
    };
    const Row rows[] = {
        {"08:00", "17:30", 0x3e, 0, "08:00-17:30 mon,tue,wed,thu,fri policy 0"},
        {"8:05", "9:00", 0x7f, 1, "08:05-09:00 all policy 1"},
        {"00:00", "23:59", 0x41, 0, "00:00-23:59 sun,sat policy 0"},
        {"24:00", "23:59", 0x7f, 0,
         "00:00-23:59 all policy 0 (start is not a time (HH:MM): 24:00)"},
        {"00:00", "12:60", 0x7f, 0, "00:00-00:00 all policy 0 (end is not a time (HH:MM): 12:60)"},
        {"08:0", "09:00", 0x7f, 0, "00:00-09:00 all policy 0 (start is not a time (HH:MM): 08:0)"},
        {"123:00", "09:00", 0x7f, 0,
         "00:00-09:00 all policy 0 (start is not a time (HH:MM): 123:00)"},
        {"-1:00", "09:00", 0x7f, 0,
         "00:00-09:00 all policy 0 (start is not a time (HH:MM): -1:00)"},
        {"", "09:00", 0x7f, 0, "00:00-09:00 all policy 0 (start is not a time (HH:MM): )"},
        {"08:00", "09:00", 0x00, 0, "08:00-09:00 none policy 0 (no days)"},
        {"08:00", "09:00", 0x80, 0, "08:00-09:00 none policy 0 (no days)"},
        {"08:00", "09:00", 0x7f, 2, "08:00-09:00 all policy 2 (unknown policy: 2)"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.start) + "-" + row.end);
        tdTimeOfDay tod;
        tdTimeOfDay::Load(tod, row.start, row.end, row.days, row.policy);
        std::string expected = row.description;
        EXPECT_EQ(tod.valid, expected.find('(') == std::string::npos);
        EXPECT_EQ(Describe(tod), expected);
    }
}

TEST(TimeOfDay, LoadElement)
{
    struct Row {
        const char *element;
        const char *description;
    };
    const Row rows[] = {
        {R"({})", "00:00-23:59 all policy 0"},
        {R"({"start": "08:00", "end": "17:00", "days": ["Mon", "TUE"]})",
         "08:00-17:00 mon,tue policy 0"},
        {R"({"days": ["weekdays"]})", "00:00-23:59 mon,tue,wed,thu,fri policy 0"},
        {R"({"days": ["weekend", "wed"]})", "00:00-23:59 sun,wed,sat policy 0"},
        {R"({"days": ["ALL"], "policy": 1})", "00:00-23:59 all policy 1"},
        {R"({"start": "22:00", "end": "06:00", "comment": "ignored"})", "22:00-06:00 all policy 0"},
        {R"({"days": []})", "00:00-23:59 none policy 0 (no days)"},
        {R"({"days": ["funday", "mon"]})", "00:00-23:59 mon policy 0 (unknown day: funday)"},
        {R"({"days": ["monday"]})", "00:00-23:59 none policy 0 (unknown day: monday)"},
        {R"({"policy": 5})", "00:00-23:59 all policy 0 (unknown policy: 5)"},
        {R"({"policy": -1})", "00:00-23:59 all policy 0 (unknown policy: -1)"},
        {R"({"start": "7pm"})", "00:00-23:59 all policy 0 (start is not a time (HH:MM): 7pm)"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.element);
        tdTimeOfDay tod = Window(json::parse(row.element));
        std::string expected = row.description;
        EXPECT_EQ(tod.valid, expected.find('(') == std::string::npos);
        EXPECT_EQ(Describe(tod), expected);
    }
}

TEST(TimeOfDay, LoadElementTypeErrors)
{
    struct Row {
        const char *element;
        const char *message;
    };
    const Row rows[] = {
        {R"("08:00")", "time window must be an object, not: string"},
        {R"([])", "time window must be an object, not: array"},
        {R"({"start": 800})", "start must be a string, not: number"},
        {R"({"end": null})", "end must be a string, not: null"},
        {R"({"days": "mon"})", "days must be an array of day names, not: string"},
        {R"({"days": ["mon", 1]})", "days must be day names, not: number"},
        {R"({"policy": "inside"})", "policy must be an integer, not: string"},
        {R"({"policy": 0.5})", "policy must be an integer, not: number"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.element);
        tdTimeOfDay tod;
        try {
            tdTimeOfDay::Load(tod, json::parse(row.element));
            ADD_FAILURE() << "accepted";
        } catch (const tdException &e) {
            EXPECT_STREQ(e.what(), row.message);
        }
    }
}

TEST(TimeOfDay, Comparison)
{
    struct Row {
        const char *name;
        const char *element;
        int64_t now;
        bool inside;
    };
    const Row rows[] = {
        {"office hours, start minute", R"({"start":"08:00","end":"17:00","days":["weekdays"]})",
         At(MON, 8, 0), true},
        {"office hours, minute before", R"({"start":"08:00","end":"17:00","days":["weekdays"]})",
         At(MON, 7, 59, 59), false},
        {"office hours, end minute is inside",
         R"({"start":"08:00","end":"17:00","days":["weekdays"]})", At(FRI, 17, 0, 59), true},
        {"office hours, after the end", R"({"start":"08:00","end":"17:00","days":["weekdays"]})",
         At(FRI, 17, 1), false},
        {"office hours, Saturday", R"({"start":"08:00","end":"17:00","days":["weekdays"]})",
         At(SAT, 12, 0), false},
        {"whole day, last second", R"({})", At(SUN, 23, 59, 59), true},
        {"whole day, first second", R"({})", At(SUN, 0, 0), true},
        {"overnight, evening of a listed day", R"({"start":"22:00","end":"06:00","days":["fri"]})",
         At(FRI, 23, 0), true},
        {"overnight, morning after a listed day",
         R"({"start":"22:00","end":"06:00","days":["fri"]})", At(SAT, 5, 59), true},
        {"overnight, after the end", R"({"start":"22:00","end":"06:00","days":["fri"]})",
         At(SAT, 6, 1), false},
        {"overnight, morning of the listed day",
         R"({"start":"22:00","end":"06:00","days":["fri"]})", At(FRI, 5, 0), false},
        {"overnight, evening of an unlisted day",
         R"({"start":"22:00","end":"06:00","days":["fri"]})", At(SAT, 22, 30), false},
        {"overnight Saturday into Sunday", R"({"start":"23:00","end":"01:00","days":["sat"]})",
         At(SUN, 0, 30), true},
        {"outside policy, inside hours", R"({"start":"08:00","end":"17:00","policy":1})",
         At(TUE, 12, 0), false},
        {"outside policy, outside hours", R"({"start":"08:00","end":"17:00","policy":1})",
         At(TUE, 18, 0), true},
        {"before the epoch", R"({"start":"23:00","end":"23:59","days":["wed"]})", -1800, true},
        {"invalid window never matches", R"({"days":[]})", At(WED, 12, 0), false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(Window(json::parse(row.element)) == row.now, row.inside);
    }
}

TEST(TimeOfDay, TickUpdateAppliesTheZone)
{
    tdTimeOfDay tod;
    tod.timezone = "Europe/Berlin";
    int64_t before = time(nullptr);
    int64_t value = tod.TickUpdate();
    int64_t after = time(nullptr);
    int64_t offset = tdTimeZone::Load("Europe/Berlin").OffsetAt(after);
    EXPECT_GE(value, before + offset);
    EXPECT_LE(value, after + offset);
    EXPECT_GE(tod.last_update, before);

    tod.timezone = "";
    tod.last_update = 0;
    value = tod.TickUpdate();
    EXPECT_NEAR(value - time(nullptr), tdTimeZone::Load("").OffsetAt(time(nullptr)), 2);
}

TEST(TimeOfDay, ZoneIsAppliedOncePerInterval)
{
    tdTimeOfDay tod;
    tod.timezone = "Etc/GMT-3";
    int64_t first = tod.TickUpdate();
    EXPECT_NEAR(first - time(nullptr), 3 * 3600, 2);

    // Within the interval the name is not looked at again.
    tod.timezone = "Mars/Olympus";
    EXPECT_NEAR(tod.TickUpdate() - time(nullptr), 3 * 3600, 2);

    tod.last_update = 0;
    try {
        tod.TickUpdate();
        ADD_FAILURE() << "unknown zone applied";
    } catch (const tdException &e) {
        EXPECT_STREQ(e.what(), "unknown time zone: Mars/Olympus: "
                               "/usr/share/zoneinfo/Mars/Olympus: No such file or directory");
    }
    // The failed zone is tried again only after the interval; the last offset stays in use.
    EXPECT_NEAR(tod.TickUpdate() - time(nullptr), 3 * 3600, 2);

    tod.update_interval = 0;
    EXPECT_THROW(tod.TickUpdate(), tdException);
}

TEST(TimeOfDay, ZoneDirectoryFromTZDIR)
{
    TempDir zones("tfa-tz");
    zones.Dir("Test");
    std::filesystem::copy_file("/usr/share/zoneinfo/Etc/GMT+5", zones.path + "/Test/Zone");

    int64_t value = 0;
    {
        ScopedEnv tzdir("TZDIR", zones.path);
        tdTimeOfDay tod;
        tod.timezone = "Test/Zone";
        EXPECT_NO_THROW(value = tod.TickUpdate());
        tod.timezone = "Europe/Berlin";
        tod.last_update = 0;
        EXPECT_THROW(tod.TickUpdate(), tdException);
    }
    EXPECT_NEAR(value - time(nullptr), -5 * 3600, 2);
}
} // namespace
