#pragma once

#include <cctz/time_zone.h>
#include <cstdint>
#include <string>

// A time zone from the system's zoneinfo, read by cctz, which never touches the process
// environment (TZ) and so is safe in a multi-threaded host. cctz keeps what it loaded for the
// life of the process, keyed by path: a zone file changed after its first load is seen only
// after a restart.
class tdTimeZone
{
public:
    // The zone `name` under $TZDIR (default /usr/share/zoneinfo); an empty name is the system's
    // zone, /etc/localtime, or UTC when that is missing. Throws tdException for a name holding
    // ".." or beginning with "/", for a zone that cannot be read, and for a malformed file.
    static tdTimeZone Load(const std::string &name);

    // Seconds east of UTC in force at `utc` (seconds since the epoch).
    int64_t OffsetAt(int64_t utc) const;

private:
    explicit tdTimeZone(const cctz::time_zone &zone) : zone(zone) {}

    cctz::time_zone zone;
};
