// PLACEHOLDER: replaced by the time window implementation.
#include "host/time_of_day.hpp"

void tdTimeOfDay::Load(tdTimeOfDay &tod, const std::string &, const std::string &, uint8_t days,
                       uint8_t policy)
{
    tod.days = days;
    tod.policy = policy;
    tod.valid = true;
}
