#include "agent/time_zone.hpp"

#include "agent/files.hpp"
#include "host/exception.hpp"
#include "host/files.hpp"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

namespace
{
constexpr const char *ZONEINFO_DIR = "/usr/share/zoneinfo";
constexpr const char *LOCALTIME = "/etc/localtime";
// The largest zone files of the tz database are a few kilobytes.
constexpr off_t MAX_FILE_SIZE = 1 << 20;

constexpr size_t HEADER_SIZE = 44;
constexpr size_t VERSION_AT = 4;
constexpr size_t COUNTS_AT = 20;
constexpr size_t COUNT_WIDTH = 4;
constexpr size_t TYPE_SIZE = 6;
constexpr size_t LEAP_CORRECTION_SIZE = 4;

uint64_t CountAt(const std::string &data, size_t at)
{
    uint64_t value = 0;
    for (size_t i = 0; i < COUNT_WIDTH; i++)
        value = value << 8 | static_cast<unsigned char>(data[at + i]);
    return value;
}

// Bytes of the data block that follows the header at `at`, by the counts the header claims.
uint64_t BlockSize(const std::string &data, size_t at, uint64_t time_width)
{
    uint64_t count[6];
    for (size_t i = 0; i < 6; i++)
        count[i] = CountAt(data, at + COUNTS_AT + i * COUNT_WIDTH);
    const uint64_t isutcnt = count[0], isstdcnt = count[1], leapcnt = count[2], timecnt = count[3],
                   typecnt = count[4], charcnt = count[5];
    return timecnt * (time_width + 1) + typecnt * TYPE_SIZE + charcnt +
           leapcnt * (time_width + LEAP_CORRECTION_SIZE) + isstdcnt + isutcnt;
}

// The bytes the TZif headers in `data` say the file holds, or 0 when `data` is too short to tell;
// cctz sizes its buffers by these counts before it reads, so they must fit the file.
uint64_t ClaimedSize(const std::string &data)
{
    if (data.size() < HEADER_SIZE)
        return 0;
    uint64_t size = HEADER_SIZE + BlockSize(data, 0, 4);
    // Version 2 and later repeat the data with 64-bit times after a second header.
    if (data[VERSION_AT] == '\0' || size + HEADER_SIZE > data.size())
        return size;
    return size + HEADER_SIZE + BlockSize(data, static_cast<size_t>(size), 8);
}

[[noreturn]] void Unknown(const std::string &name, const std::string &path, int error)
{
    throw tdException("unknown time zone: %s: %s: %s", name.c_str(), path.c_str(), strerror(error));
}

// Refuses what is not a plausible zone file before cctz reads it.
void CheckFile(const std::string &name, const std::string &path)
{
    struct stat sb;
    if (stat(path.c_str(), &sb) != 0)
        Unknown(name, path, errno);
    if (S_ISDIR(sb.st_mode))
        Unknown(name, path, EISDIR);
    if (!S_ISREG(sb.st_mode))
        throw tdException("invalid time zone file: %s: not a regular file", path.c_str());
    if (sb.st_size > MAX_FILE_SIZE)
        throw tdException("invalid time zone file: %s: larger than %lld bytes", path.c_str(),
                          static_cast<long long>(MAX_FILE_SIZE));

    std::string data;
    if (!td_read_file(path, data))
        Unknown(name, path, errno);
    uint64_t claimed = ClaimedSize(data);
    if (claimed > data.size())
        throw tdException("invalid time zone file: %s: its header counts need %llu bytes, the "
                          "file has %zu",
                          path.c_str(), static_cast<unsigned long long>(claimed), data.size());
}
} // namespace

tdTimeZone tdTimeZone::Load(const std::string &name)
{
    if (name.find("..") != std::string::npos || (!name.empty() && name[0] == '/'))
        throw tdException("invalid time zone name: %s", name.c_str());

    std::string path = LOCALTIME;
    if (name.empty()) {
        if (td_file_exists(path) != 1)
            return tdTimeZone(cctz::utc_time_zone());
    } else {
        const char *dir = getenv("TZDIR");
        path = std::string(dir != nullptr && dir[0] != '\0' ? dir : ZONEINFO_DIR) + "/" + name;
    }

    CheckFile(name, path);
    cctz::time_zone zone;
    if (!cctz::load_time_zone(path, &zone))
        throw tdException("invalid time zone file: %s", path.c_str());
    return tdTimeZone(zone);
}

int64_t tdTimeZone::OffsetAt(int64_t utc) const
{
    const auto instant =
        std::chrono::time_point<std::chrono::system_clock, cctz::seconds>(cctz::seconds(utc));
    return zone.lookup(instant).offset;
}
