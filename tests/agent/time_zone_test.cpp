#include "host/exception.hpp"
#include "agent/time_zone.hpp"

#include <ctime>
#include <gtest/gtest.h>

namespace
{
int64_t Utc(int year, int month, int day, int hour, int minute, int second = 0)
{
    struct tm tm = {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return static_cast<int64_t>(timegm(&tm));
}

void Put(std::string &out, uint64_t value, int width)
{
    for (int shift = (width - 1) * 8; shift >= 0; shift -= 8)
        out += static_cast<char>((value >> shift) & 0xff);
}

// A version 2 TZif file: a minimal first block, then the real one with 64-bit times and the
// POSIX rule as footer.
std::string TZif(const std::vector<std::pair<int64_t, uint8_t>> &transitions,
                 const std::vector<int32_t> &offsets, const std::string &footer)
{
    auto header = [](std::string &out, uint32_t timecnt, uint32_t typecnt, uint32_t charcnt) {
        out += "TZif2";
        out += std::string(15, '\0');
        for (uint32_t count : {0u, 0u, 0u, timecnt, typecnt, charcnt})
            Put(out, count, 4);
    };
    std::string out;
    header(out, 0, 1, 4);
    out += std::string(6, '\0') + std::string("UTC", 4);

    header(out, static_cast<uint32_t>(transitions.size()), static_cast<uint32_t>(offsets.size()),
           4);
    for (const auto &transition : transitions)
        Put(out, static_cast<uint64_t>(transition.first), 8);
    for (const auto &transition : transitions)
        out += static_cast<char>(transition.second);
    for (int32_t offset : offsets) {
        Put(out, static_cast<uint32_t>(offset), 4);
        out += std::string(2, '\0');
    }
    out += std::string("ZZZ", 4);
    return out + "\n" + footer + "\n";
}

struct Row {
    const char *name;
    int64_t utc;
    int64_t offset;
};

void ExpectOffsets(const tdTimeZone &zone, const std::vector<Row> &rows)
{
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(zone.OffsetAt(row.utc), row.offset);
    }
}

TEST(TimeZone, SystemZones)
{
    ExpectOffsets(tdTimeZone::Load("Europe/Berlin"),
                  {
                      {"Berlin winter", Utc(2024, 1, 15, 12, 0), 3600},
                      {"Berlin summer", Utc(2024, 7, 15, 12, 0), 7200},
                      {"second before spring change", Utc(2024, 3, 31, 0, 59, 59), 3600},
                      {"spring change", Utc(2024, 3, 31, 1, 0), 7200},
                      {"second before autumn change", Utc(2024, 10, 27, 0, 59, 59), 7200},
                      {"autumn change", Utc(2024, 10, 27, 1, 0), 3600},
                      {"past the table: summer 2100", Utc(2100, 7, 1, 0, 0), 7200},
                      {"past the table: winter 2100", Utc(2100, 12, 1, 0, 0), 3600},
                      {"before 1900", Utc(1850, 1, 1, 0, 0), 3208},
                  });
    ExpectOffsets(tdTimeZone::Load("Australia/Sydney"),
                  {
                      {"Sydney summer", Utc(2024, 1, 15, 0, 0), 39600},
                      {"Sydney winter", Utc(2024, 7, 15, 0, 0), 36000},
                      {"Sydney summer 2100", Utc(2100, 1, 15, 0, 0), 39600},
                      {"Sydney winter 2100", Utc(2100, 7, 15, 0, 0), 36000},
                  });
    ExpectOffsets(tdTimeZone::Load("America/New_York"),
                  {
                      {"New York before fall back", Utc(2024, 11, 3, 5, 59, 59), -14400},
                      {"New York fall back", Utc(2024, 11, 3, 6, 0), -18000},
                  });
    ExpectOffsets(tdTimeZone::Load("UTC"), {{"UTC", Utc(2024, 7, 1, 0, 0), 0}});
}

TEST(TimeZone, RuleForms)
{
    // Day 60 of the J form is always 1 March; the zero-based form counts 29 February.
    tdTimeZone zone = tdTimeZone::Parse(TZif({}, {7200}, "XST-2XDT,J60/2,300/3"), "rules");
    ExpectOffsets(zone, {
                            {"2023 before start", Utc(2023, 2, 28, 23, 59, 59), 7200},
                            {"2023 start", Utc(2023, 3, 1, 0, 0), 10800},
                            {"2023 before end", Utc(2023, 10, 27, 23, 59, 59), 10800},
                            {"2023 end", Utc(2023, 10, 28, 0, 0), 7200},
                            {"2024 start", Utc(2024, 3, 1, 0, 0), 10800},
                            {"2024 end (leap year)", Utc(2024, 10, 27, 0, 0), 7200},
                        });

    ExpectOffsets(tdTimeZone::Parse(TZif({}, {19800}, "<+0530>-5:30"), "fixed"),
                  {{"fixed offset with minutes", Utc(2030, 1, 1, 0, 0), 19800}});
    ExpectOffsets(tdTimeZone::Parse(TZif({}, {-3600}, "<-01>1"), "west"),
                  {{"west of Greenwich", Utc(2030, 1, 1, 0, 0), -3600}});
}

TEST(TimeZone, TransitionsThenEmptyFooter)
{
    int64_t change = Utc(2000, 1, 1, 0, 0);
    tdTimeZone zone = tdTimeZone::Parse(TZif({{change, 1}}, {100, 200}, ""), "table");
    ExpectOffsets(zone, {
                            {"before the first transition", change - 1, 100},
                            {"at the transition", change, 200},
                            {"long after, no rule", Utc(2200, 1, 1, 0, 0), 200},
                        });
}

TEST(TimeZone, Faults)
{
    std::string good = TZif({}, {0}, "UTC0");
    struct FaultRow {
        const char *name;
        std::string data;
        const char *message;
    };
    const FaultRow rows[] = {
        {"empty", "", "invalid time zone file: f"},
        {"bad magic", "TZxf" + good.substr(4), "invalid time zone file: f"},
        {"truncated", good.substr(0, 60), "invalid time zone file: f"},
        {"no footer line", good.substr(0, good.size() - 6), "invalid time zone file: f"},
        {"type index out of range", TZif({{0, 3}}, {0}, ""), "invalid time zone file: f"},
        {"unsorted transitions", TZif({{10, 0}, {5, 0}}, {0}, ""), "invalid time zone file: f"},
        {"month 13", TZif({}, {0}, "A-1B,M13.5.0,M10.5.0"),
         "invalid time zone file: f: bad rule: A-1B,M13.5.0,M10.5.0"},
        {"short name", TZif({}, {0}, "AB-1"), "invalid time zone file: f: bad rule: AB-1"},
        {"trailing text", TZif({}, {0}, "CET-1CEST,M3.5.0,M10.5.0/3x"),
         "invalid time zone file: f: bad rule: CET-1CEST,M3.5.0,M10.5.0/3x"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        try {
            tdTimeZone::Parse(row.data, "f");
            ADD_FAILURE() << "accepted";
        } catch (const tdException &e) {
            EXPECT_STREQ(e.what(), row.message);
        }
    }
}

TEST(TimeZone, Names)
{
    struct NameRow {
        const char *name;
        const char *message;
    };
    const NameRow rows[] = {
        {"Mars/Olympus", "unknown time zone: Mars/Olympus: /usr/share/zoneinfo/Mars/Olympus: No "
                         "such file or directory"},
        {"Europe", "unknown time zone: Europe: /usr/share/zoneinfo/Europe: Is a directory"},
        {"../../etc/passwd", "invalid time zone name: ../../etc/passwd"},
        {"Europe/../UTC", "invalid time zone name: Europe/../UTC"},
        {"/usr/share/zoneinfo/UTC", "invalid time zone name: /usr/share/zoneinfo/UTC"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        try {
            tdTimeZone::Load(row.name);
            ADD_FAILURE() << "accepted";
        } catch (const tdException &e) {
            EXPECT_STREQ(e.what(), row.message);
        }
    }
    EXPECT_NO_THROW(tdTimeZone::Load(""));
}
} // namespace
