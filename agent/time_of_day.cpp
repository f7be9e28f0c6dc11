#include "host/time_of_day.hpp"
#include "agent/time_source.hpp"

#include "host/exception.hpp"
#include "agent/format.hpp"
#include "agent/time_zone.hpp"

#include <atomic>
#include <cctype>
#include <ctime>

namespace
{
std::atomic<int64_t (*)()> clock_source{nullptr};

constexpr int64_t SECONDS_PER_DAY = 86400;
constexpr int64_t SECONDS_PER_MINUTE = 60;
constexpr int MINUTES_PER_HOUR = 60;
constexpr int HOURS_PER_DAY = 24;
constexpr int DAYS_PER_WEEK = 7;
// 1970-01-01, day 0 of every time value, was a Thursday.
constexpr int EPOCH_WEEKDAY = 4;

struct DayName {
    const char *name;
    uint8_t mask;
};
constexpr DayName DAY_NAMES[] = {
    {"sun", 0x01}, {"mon", 0x02}, {"tue", 0x04}, {"wed", 0x08},      {"thu", 0x10},
    {"fri", 0x20}, {"sat", 0x40}, {"all", 0x7f}, {"weekdays", 0x3e}, {"weekend", 0x41},
};
constexpr int SINGLE_DAYS = 7;

// "HH:MM" (or "H:MM") as minutes after midnight; false when it is not a time of day.
bool ParseTime(const std::string &text, uint16_t &minutes)
{
    size_t colon = text.find(':');
    if (colon == 0 || colon > 2 || text.size() != colon + 3)
        return false;
    for (size_t i = 0; i < text.size(); i++) {
        if (i != colon && !std::isdigit(static_cast<unsigned char>(text[i])))
            return false;
    }
    int hours = std::stoi(text.substr(0, colon));
    int mins = std::stoi(text.substr(colon + 1));
    if (hours >= HOURS_PER_DAY || mins >= MINUTES_PER_HOUR)
        return false;
    minutes = static_cast<uint16_t>(hours * MINUTES_PER_HOUR + mins);
    return true;
}

bool ParseDay(const std::string &text, uint8_t &mask)
{
    std::string lower;
    for (char c : text)
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const auto &day : DAY_NAMES) {
        if (lower == day.name) {
            mask |= day.mask;
            return true;
        }
    }
    return false;
}

std::string DescribeDays(uint8_t days)
{
    if (days == tdTimeOfDay::ALL_DAYS)
        return "all";
    std::string text;
    for (int i = 0; i < SINGLE_DAYS; i++) {
        if (days & DAY_NAMES[i].mask)
            text += (text.empty() ? "" : ",") + std::string(DAY_NAMES[i].name);
    }
    return text.empty() ? "none" : text;
}

std::string FormatTime(uint16_t minutes)
{
    return td_format("%02u:%02u", minutes / MINUTES_PER_HOUR, minutes % MINUTES_PER_HOUR);
}

const json *Member(const json &element, const char *key, bool (json::*is_type)() const,
                   const char *type)
{
    auto it = element.find(key);
    if (it == element.end())
        return nullptr;
    if (!((*it).*is_type)())
        throw tdException("%s must be %s, not: %s", key, type, it->type_name());
    return &*it;
}
} // namespace

void tdTimeOfDay::Load(tdTimeOfDay &tod, const std::string &start, const std::string &end,
                       uint8_t days, uint8_t policy)
{
    tod.fault.clear();
    tod.SetTime(start, tod.start, "start");
    tod.SetTime(end, tod.end, "end");
    tod.days = days;
    tod.policy = policy;
    tod.Validate();
}

void tdTimeOfDay::Load(tdTimeOfDay &tod, const json &element)
{
    if (!element.is_object())
        throw tdException("time window must be an object, not: %s", element.type_name());

    tod.fault.clear();
    if (auto start = Member(element, "start", &json::is_string, "a string"))
        tod.SetTime(start->get<std::string>(), tod.start, "start");
    if (auto end = Member(element, "end", &json::is_string, "a string"))
        tod.SetTime(end->get<std::string>(), tod.end, "end");
    if (auto days = Member(element, "days", &json::is_array, "an array of day names")) {
        uint8_t mask = 0;
        for (const auto &day : *days) {
            if (!day.is_string())
                throw tdException("days must be day names, not: %s", day.type_name());
            if (!ParseDay(day.get<std::string>(), mask) && tod.fault.empty())
                tod.fault = "unknown day: " + day.get<std::string>();
        }
        tod.days = mask;
    }
    if (auto policy = Member(element, "policy", &json::is_number_integer, "an integer")) {
        int64_t value = policy->get<int64_t>();
        if (value == POLICY_INSIDE || value == POLICY_OUTSIDE)
            tod.policy = static_cast<uint8_t>(value);
        else if (tod.fault.empty())
            tod.fault = td_format("unknown policy: %lld", static_cast<long long>(value));
    }
    tod.Validate();
}

void tdTimeOfDay::Describe(const tdTimeOfDay &tod, std::string &text)
{
    text = FormatTime(tod.start) + "-" + FormatTime(tod.end) + " " + DescribeDays(tod.days) +
           " policy " + std::to_string(tod.policy);
    if (!tod.valid)
        text += " (" + tod.fault + ")";
}

bool tdTimeOfDay::operator==(int64_t now) const
{
    if (!valid)
        return false;
    int64_t day = now / SECONDS_PER_DAY - (now % SECONDS_PER_DAY < 0);
    int minute = static_cast<int>((now - day * SECONDS_PER_DAY) / SECONDS_PER_MINUTE);
    int weekday =
        static_cast<int>(((day + EPOCH_WEEKDAY) % DAYS_PER_WEEK + DAYS_PER_WEEK) % DAYS_PER_WEEK);
    int yesterday = (weekday + DAYS_PER_WEEK - 1) % DAYS_PER_WEEK;
    auto listed = [this](int weekday) { return (days >> weekday) & 1; };

    bool inside;
    if (start <= end)
        inside = listed(weekday) && minute >= start && minute <= end;
    else
        inside = (listed(weekday) && minute >= start) || (listed(yesterday) && minute <= end);
    return policy == POLICY_INSIDE ? inside : !inside;
}

int64_t tdTimeOfDay::TickUpdate()
{
    int64_t (*clock)() = clock_source.load();
    int64_t utc = clock != nullptr ? clock() : static_cast<int64_t>(time(nullptr));
    if (last_update == 0 || utc < last_update || utc - last_update >= update_interval) {
        // Stamp first: a zone that cannot be applied is tried again after the interval, and the
        // last applied offset stays in use meanwhile.
        last_update = utc;
        offset = tdTimeZone::Load(timezone).OffsetAt(utc);
    }
    return utc + offset;
}

void td_set_time_source(int64_t (*clock)())
{
    clock_source.store(clock);
}

void tdTimeOfDay::SetTime(const std::string &text, uint16_t &minutes, const char *which)
{
    if (!ParseTime(text, minutes) && fault.empty())
        fault = td_format("%s is not a time (HH:MM): %s", which, text.c_str());
}

void tdTimeOfDay::Validate()
{
    if (fault.empty() && (days == 0 || days > ALL_DAYS))
        fault = "no days";
    if (fault.empty() && policy != POLICY_INSIDE && policy != POLICY_OUTSIDE)
        fault = td_format("unknown policy: %u", policy);
    valid = fault.empty();
}
