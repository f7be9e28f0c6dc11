#include "agent/time_zone.hpp"

#include "host/exception.hpp"
#include "agent/files.hpp"
#include "host/files.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace
{
constexpr const char *ZONEINFO_DIR = "/usr/share/zoneinfo";
constexpr const char *LOCALTIME = "/etc/localtime";
constexpr int64_t SECONDS_PER_DAY = 86400;
constexpr int64_t SECONDS_PER_HOUR = 3600;
constexpr size_t HEADER_SIZE = 44;

int64_t FloorDiv(int64_t a, int64_t b)
{
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const int64_t era = FloorDiv(y, 400);
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

int64_t YearOf(int64_t utc)
{
    const int64_t z = FloorDiv(utc, SECONDS_PER_DAY) + 719468;
    const int64_t era = FloorDiv(z, 146097);
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    return static_cast<int64_t>(yoe) + era * 400 + (mp >= 10);
}

bool IsLeap(int64_t y)
{
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

unsigned DaysInMonth(int64_t y, int m)
{
    static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return days[m - 1] + (m == 2 && IsLeap(y));
}

// Sequential big-endian reader over TZif data.
class Reader
{
public:
    Reader(const std::string &data, const std::string &source) : data(data), source(source) {}

    void Need(size_t bytes) const
    {
        if (data.size() - pos < bytes)
            throw tdException("invalid time zone file: %s", source.c_str());
    }
    int64_t Signed(size_t width)
    {
        Need(width);
        uint64_t value = 0;
        for (size_t i = 0; i < width; i++)
            value = value << 8 | static_cast<unsigned char>(data[pos++]);
        if (width < 8 && (value >> (width * 8 - 1)))
            value |= ~uint64_t{0} << (width * 8);
        return static_cast<int64_t>(value);
    }
    uint32_t Count() { return static_cast<uint32_t>(Signed(4)); }
    uint8_t Byte() { return static_cast<uint8_t>(Signed(1)); }
    void Skip(size_t bytes)
    {
        Need(bytes);
        pos += bytes;
    }
    size_t Position() const { return pos; }

private:
    const std::string &data;
    const std::string &source;
    size_t pos = 0;
};

struct Header {
    char version;
    uint32_t isutcnt, isstdcnt, leapcnt, timecnt, typecnt, charcnt;

    size_t BlockSize(size_t time_width) const
    {
        return size_t{timecnt} * (time_width + 1) + size_t{typecnt} * 6 + charcnt +
               size_t{leapcnt} * (time_width + 4) + isstdcnt + isutcnt;
    }
};

Header ReadHeader(Reader &reader, const std::string &data, const std::string &source)
{
    reader.Need(HEADER_SIZE);
    size_t start = reader.Position();
    if (data.compare(start, 4, "TZif") != 0)
        throw tdException("invalid time zone file: %s", source.c_str());
    Header header;
    header.version = data[start + 4];
    reader.Skip(20);
    header.isutcnt = reader.Count();
    header.isstdcnt = reader.Count();
    header.leapcnt = reader.Count();
    header.timecnt = reader.Count();
    header.typecnt = reader.Count();
    header.charcnt = reader.Count();
    if (header.typecnt == 0)
        throw tdException("invalid time zone file: %s", source.c_str());
    return header;
}

// A small cursor over a POSIX TZ rule string such as "CET-1CEST,M3.5.0,M10.5.0/3".
class RuleText
{
public:
    RuleText(const std::string &text, const std::string &source) : text(text), source(source) {}

    bool AtEnd() const { return pos == text.size(); }
    bool Peek(char c) const { return pos < text.size() && text[pos] == c; }
    bool PeekOffset() const
    {
        return pos < text.size() && (std::isdigit(static_cast<unsigned char>(text[pos])) ||
                                     text[pos] == '+' || text[pos] == '-');
    }
    void Expect(char c)
    {
        if (!Peek(c))
            Fail();
        pos++;
    }
    void Name()
    {
        if (Peek('<')) {
            size_t close = text.find('>', pos);
            if (close == std::string::npos)
                Fail();
            pos = close + 1;
            return;
        }
        size_t start = pos;
        while (pos < text.size() && std::isalpha(static_cast<unsigned char>(text[pos])))
            pos++;
        if (pos - start < 3)
            Fail();
    }
    int Number(int max)
    {
        size_t start = pos;
        int value = 0;
        while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos])) &&
               pos - start < 4)
            value = value * 10 + (text[pos++] - '0');
        if (pos == start || value > max)
            Fail();
        return value;
    }
    // [+-]hh[:mm[:ss]] in seconds.
    int64_t Time()
    {
        int sign = 1;
        if (Peek('+') || Peek('-'))
            sign = text[pos++] == '-' ? -1 : 1;
        int64_t seconds = Number(167) * SECONDS_PER_HOUR;
        if (Peek(':')) {
            pos++;
            seconds += Number(59) * 60;
            if (Peek(':')) {
                pos++;
                seconds += Number(59);
            }
        }
        return sign * seconds;
    }
    [[noreturn]] void Fail() const
    {
        throw tdException("invalid time zone file: %s: bad rule: %s", source.c_str(), text.c_str());
    }

private:
    const std::string &text;
    const std::string &source;
    size_t pos = 0;
};
} // namespace

tdTimeZone tdTimeZone::Load(const std::string &name)
{
    if (name.find("..") != std::string::npos || (!name.empty() && name[0] == '/'))
        throw tdException("invalid time zone name: %s", name.c_str());

    std::string path = LOCALTIME;
    if (name.empty()) {
        if (td_file_exists(path) != 1)
            return tdTimeZone();
    } else {
        const char *dir = getenv("TZDIR");
        path = std::string(dir != nullptr && dir[0] != '\0' ? dir : ZONEINFO_DIR) + "/" + name;
    }

    std::string data;
    if (!td_read_file(path, data))
        throw tdException("unknown time zone: %s: %s: %s", name.c_str(), path.c_str(),
                          strerror(errno));
    return Parse(data, path);
}

tdTimeZone tdTimeZone::Parse(const std::string &data, const std::string &source)
{
    Reader reader(data, source);
    Header header = ReadHeader(reader, data, source);
    size_t time_width = 4;
    if (header.version >= '2') {
        // Version 2 and later repeat the data with 64-bit times, followed by the POSIX rule.
        reader.Skip(header.BlockSize(4));
        header = ReadHeader(reader, data, source);
        time_width = 8;
    }

    tdTimeZone zone;
    std::vector<uint8_t> type_index(header.timecnt);
    for (uint32_t i = 0; i < header.timecnt; i++)
        zone.times.push_back(reader.Signed(time_width));
    for (auto &index : type_index) {
        index = reader.Byte();
        if (index >= header.typecnt)
            throw tdException("invalid time zone file: %s", source.c_str());
    }
    std::vector<int64_t> type_offset;
    for (uint32_t i = 0; i < header.typecnt; i++) {
        type_offset.push_back(reader.Signed(4));
        reader.Skip(2);
    }
    reader.Skip(header.charcnt + size_t{header.leapcnt} * (time_width + 4) + header.isstdcnt +
                header.isutcnt);

    zone.initial_offset = type_offset[0];
    for (auto index : type_index)
        zone.offsets.push_back(type_offset[index]);
    if (!std::is_sorted(zone.times.begin(), zone.times.end()))
        throw tdException("invalid time zone file: %s", source.c_str());

    if (time_width == 8) {
        size_t start = reader.Position();
        size_t end = data.find('\n', start + 1);
        if (start >= data.size() || data[start] != '\n' || end == std::string::npos)
            throw tdException("invalid time zone file: %s", source.c_str());
        std::string footer = data.substr(start + 1, end - start - 1);
        if (!footer.empty()) {
            ParseRule(footer, source, zone.rule);
            zone.has_rule = true;
        }
    }
    return zone;
}

void tdTimeZone::ParseRule(const std::string &text, const std::string &source, Rule &rule)
{
    RuleText cursor(text, source);
    cursor.Name();
    rule.std_offset = -cursor.Time();
    if (cursor.AtEnd())
        return;

    rule.has_dst = true;
    cursor.Name();
    rule.dst_offset = cursor.PeekOffset() ? -cursor.Time() : rule.std_offset + SECONDS_PER_HOUR;
    if (cursor.AtEnd()) {
        // POSIX leaves the dates to the implementation; these are the United States' rules.
        rule.start = {'M', 3, 2, 0, 7200};
        rule.end = {'M', 11, 1, 0, 7200};
        return;
    }
    for (Change *change : {&rule.start, &rule.end}) {
        cursor.Expect(',');
        if (cursor.Peek('M')) {
            cursor.Expect('M');
            change->month = cursor.Number(12);
            cursor.Expect('.');
            change->week = cursor.Number(5);
            cursor.Expect('.');
            change->day = cursor.Number(6);
            if (change->month == 0 || change->week == 0)
                cursor.Fail();
        } else if (cursor.Peek('J')) {
            cursor.Expect('J');
            change->kind = 'J';
            change->day = cursor.Number(365);
            if (change->day == 0)
                cursor.Fail();
        } else {
            change->kind = 'D';
            change->day = cursor.Number(365);
        }
        if (cursor.Peek('/')) {
            cursor.Expect('/');
            change->time = cursor.Time();
        }
    }
    if (!cursor.AtEnd())
        cursor.Fail();
}

int64_t tdTimeZone::OffsetAt(int64_t utc) const
{
    if (!times.empty() && utc < times.front())
        return initial_offset;
    if (times.empty() || utc >= times.back()) {
        if (has_rule)
            return RuleOffsetAt(utc);
        return times.empty() ? initial_offset : offsets.back();
    }
    auto next = std::upper_bound(times.begin(), times.end(), utc);
    return offsets[static_cast<size_t>(next - times.begin()) - 1];
}

int64_t tdTimeZone::RuleOffsetAt(int64_t utc) const
{
    if (!rule.has_dst)
        return rule.std_offset;

    int64_t year = YearOf(utc + rule.std_offset);
    auto instant = [year](const Change &change, int64_t offset) {
        int64_t day = DaysFromCivil(year, 1, 1);
        if (change.kind == 'J')
            day += change.day - 1 + (IsLeap(year) && change.day >= 60);
        else if (change.kind == 'D')
            day += change.day;
        else {
            int64_t first = DaysFromCivil(year, static_cast<unsigned>(change.month), 1);
            int64_t first_weekday = ((first + 4) % 7 + 7) % 7;
            int64_t mday = (change.day - first_weekday + 7) % 7 + (change.week - 1) * 7;
            while (mday >= static_cast<int64_t>(DaysInMonth(year, change.month)))
                mday -= 7;
            day = first + mday;
        }
        return day * SECONDS_PER_DAY + change.time - offset;
    };
    int64_t start = instant(rule.start, rule.std_offset);
    int64_t end = instant(rule.end, rule.dst_offset);
    bool dst = start < end ? (utc >= start && utc < end) : !(utc >= end && utc < start);
    return dst ? rule.dst_offset : rule.std_offset;
}
