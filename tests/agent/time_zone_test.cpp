#include "agent/time_zone.hpp"
#include "host/exception.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

#include <ctime>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

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

// A TZif header with one type of four name bytes and `transitions` transitions.
std::string Header(char version, uint32_t transitions)
{
    std::string out = std::string("TZif") + version + std::string(15, '\0');
    for (uint32_t count : {0u, 0u, 0u, transitions, 1u, 4u})
        for (int shift = 24; shift >= 0; shift -= 8)
            out += static_cast<char>((count >> shift) & 0xff);
    return out;
}

// Files cctz must never see, since it sizes its buffers by the header's counts before reading:
// each is refused with a reason, and without allocating what the counts claim.
TEST(TimeZone, Faults)
{
    TempDir zones("tfa-zones");
    ScopedEnv tzdir("TZDIR", zones.path);
    const std::string block(10, '\0');
    const std::string all_counts_max = "TZif2" + std::string(15, '\0') + std::string(24, '\xff');
    zones.Write("Empty", "");
    std::string huge = zones.Write("Huge", "");
    std::filesystem::resize_file(huge, (1 << 20) + 1);
    ASSERT_EQ(mkfifo((zones.path + "/Pipe").c_str(), 0600), 0);

    struct FaultRow {
        const char *name;
        std::string data; // written to the zone `name` unless empty: made above
        std::string message;
    };
    const std::string at = "invalid time zone file: " + zones.path + "/";
    const FaultRow rows[] = {
        {"Empty", "", at + "Empty"},
        {"Magic", "TZxf" + Header('2', 0).substr(4) + block, at + "Magic"},
        {"NoSecondHeader", Header('2', 0) + block, at + "NoSecondHeader"},
        {"FirstCounts", Header('\0', 0x7fffffff) + std::string(100, '\0'),
         at + "FirstCounts: its header counts need " + std::to_string(44 + 0x7fffffffull * 5 + 10) +
             " bytes, the file has 144"},
        {"SecondCounts", Header('2', 0) + block + Header('2', 0x7fffffff) + block,
         at + "SecondCounts: its header counts need " +
             std::to_string(44 + 10 + 44 + 0x7fffffffull * 9 + 10) + " bytes, the file has 108"},
        {"AllCountsMax", all_counts_max,
         at + "AllCountsMax: its header counts need " + std::to_string(44 + 0xffffffffull * 22) +
             " bytes, the file has 44"},
        {"Huge", "", at + "Huge: larger than 1048576 bytes"},
        {"Pipe", "", at + "Pipe: not a regular file"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        if (!row.data.empty())
            zones.Write(row.name, row.data);
        try {
            tdTimeZone::Load(row.name);
            ADD_FAILURE() << "accepted";
        } catch (const tdException &e) {
            EXPECT_EQ(e.what(), row.message);
        }
    }
}

TEST(TimeZone, ZoneFromTZDIR)
{
    TempDir zones("tfa-zones");
    ScopedEnv tzdir("TZDIR", zones.path);
    std::filesystem::copy_file("/usr/share/zoneinfo/Asia/Kolkata", zones.path + "/Local");
    ExpectOffsets(tdTimeZone::Load("Local"), {{"Kolkata", Utc(2030, 1, 1, 0, 0), 19800}});
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
