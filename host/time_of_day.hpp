#pragma once

#include <cstdint>
#include <string>

#include "host/json.hpp"

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

    // Sets the window; `valid` tells whether the times parsed and the mask names a day.
    static void Load(tdTimeOfDay &tod, const std::string &start, const std::string &end,
                     uint8_t days, uint8_t policy);
    // Loads an element {"start": "HH:MM", "end": "HH:MM", "days": [...], "policy": 0}; members
    // that are absent keep their current values. Throws tdException when a member has the wrong
    // JSON type; a value of the right type that makes no sense leaves `valid` false.
    static void Load(tdTimeOfDay &tod, const json &element);
    // A one-line description for messages, e.g. "08:00-17:00 mon,tue policy 0".
    static void Describe(const tdTimeOfDay &tod, std::string &text);

    // True when the time value lies in the window (after the policy is applied).
    bool operator==(int64_t now) const;

    // The current time value. Applies `timezone` again when `update_interval` seconds have
    // passed since `last_update` (or `last_update` is 0). An empty name means the system's local
    // zone. Throws tdException when the zone cannot be applied (an unknown name, for one).
    int64_t TickUpdate();

    bool valid = false;
    uint16_t start = 0; // minutes after midnight
    uint16_t end = 0;
    uint8_t days = 0;
    uint8_t policy = POLICY_INSIDE;

    std::string timezone;
    int64_t update_interval = 1200;
    int64_t last_update = 0;

private:
    int64_t offset = 0; // seconds east of UTC, as last applied
};
