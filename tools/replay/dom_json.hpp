#pragma once

#include "host/json.hpp"

#include <simdjson.h>

// A parsed value as the plug-in's JSON type, typed as that library types what it reads itself:
// a number without a sign, fraction or exponent is unsigned, one with a minus sign an integer,
// any other a floating-point number. Values nest no deeper than the reader lets lines nest.
json tfaDomToJson(simdjson::dom::element value);
