#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A time zone as the system's TZif files describe it: the recorded offset changes, and the POSIX
// rule that continues them after the last one. Read from the file each time it is loaded; the
// process environment (TZ) is never touched, so it is safe in a multi-threaded host.
class tdTimeZone
{
public:
    // The zone `name` under $TZDIR (default /usr/share/zoneinfo); an empty name is the system's
    // zone, /etc/localtime, or UTC when that is missing. Throws tdException for a name holding
    // ".." or beginning with "/", for a zone that cannot be read, and for a malformed file.
    static tdTimeZone Load(const std::string &name);
    // Decodes TZif data; `source` names it in the exception a malformed file throws.
    static tdTimeZone Parse(const std::string &data, const std::string &source);

    // Seconds east of UTC in force at `utc` (seconds since the epoch).
    int64_t OffsetAt(int64_t utc) const;

private:
    // When a POSIX rule switches: day kind 'J' (1..365, no leap day), 'D' (0..365) or 'M'
    // (month, week 1..5 with 5 the last, weekday 0 = Sunday), at `time` seconds of local time.
    struct Change {
        char kind = 'M';
        int month = 0;
        int week = 0;
        int day = 0;
        int64_t time = 7200;
    };
    struct Rule {
        int64_t std_offset = 0;
        bool has_dst = false;
        int64_t dst_offset = 0;
        Change start;
        Change end;
    };

    static void ParseRule(const std::string &text, const std::string &source, Rule &rule);
    int64_t RuleOffsetAt(int64_t utc) const;

    int64_t initial_offset = 0;
    std::vector<int64_t> times;   // transition instants, ascending
    std::vector<int64_t> offsets; // offset from each transition on
    bool has_rule = false;
    Rule rule;
};
