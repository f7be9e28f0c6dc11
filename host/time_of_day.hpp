#pragma once

#include "host/json.hpp"

#include <cstdint>
#include <string>

// A weekly time window ("08:00" to "17:00" on chosen days) and the clock it is judged against.
//
// Time values are seconds since the epoch shifted into the configured time zone ("local epoch
// seconds"), so the day of week and minute of day read from them as if they were UTC. A window
// whose end lies before its start crosses midnight: it runs from the start on a listed day to
// the end on the next day.
class tdTimeOfDay
{
public:
    // Day mask bits: bit 0 Sunday ... bit 6 Saturday.
    static constexpr uint8_t ALL_DAYS = 0x7f;

    enum Policy : uint8_t {
        // The window matches inside its hours.
        POLICY_INSIDE = 0,
        // The window matches outside its hours.
        POLICY_OUTSIDE = 1,
    };

    // Sets the window; `valid` tells whether the times parsed, the mask names a day and the policy
    // is known. Times are "HH:MM" (or "H:MM"), 00:00 to 23:59; both ends are inclusive minutes,
    // so "00:00" to "23:59" covers the whole day.
    static void Load(tdTimeOfDay &tod, const std::string &start, const std::string &end,
                     uint8_t days, uint8_t policy);
    // Loads an element {"start": "HH:MM", "end": "HH:MM", "days": [...], "policy": 0}; members
    // that are absent keep their current values, other members are ignored. Day names are "sun"
    // to "sat", "all", "weekdays" and "weekend", in any case. Throws tdException when the element
    // is not an object or a member has the wrong JSON type; a value of the right type that makes
    // no sense leaves `valid` false and is named by Describe.
    static void Load(tdTimeOfDay &tod, const json &element);
    // A one-line description for messages, e.g. "08:00-17:00 mon,tue policy 0"; an invalid
    // window ends with its fault in parentheses.
    static void Describe(const tdTimeOfDay &tod, std::string &text);

    // True when the time value lies in the window (after the policy is applied).
    bool operator==(int64_t now) const;

    // The current time value. Applies `timezone` again when `update_interval` seconds have
    // passed since `last_update` (or `last_update` is 0), reading the zone's file (tdTimeZone).
    // An empty name means the system's local zone. Throws tdException when the zone cannot be
    // applied (an unknown name, for one); the previous offset then stays in use and the zone is
    // tried again after the interval.
    int64_t TickUpdate();

    // The clock TickUpdate reads, in seconds since the epoch (UTC), for every window of the
    // process; null, the default, is the system's wall clock. A host replaying recorded
    // traffic sets it to the recording's time.
    static void SetClock(int64_t (*clock)());

    bool valid = false;
    uint16_t start = 0; // minutes after midnight
    uint16_t end = 0;
    uint8_t days = 0;
    uint8_t policy = POLICY_INSIDE;

    std::string timezone;
    int64_t update_interval = 1200;
    int64_t last_update = 0;

private:
    void SetTime(const std::string &text, uint16_t &minutes, const char *which);
    void Validate();

    int64_t offset = 0; // seconds east of UTC, as last applied
    std::string fault;  // why the window is not valid
};
