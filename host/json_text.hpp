#pragma once

#include "host/json.hpp"

#include <string>

// Renders `j` as JSON text into `out`, replacing what it held: on one line with no spaces when
// `pretty` is false, indented by four spaces when true. Bytes that are not valid UTF-8 inside
// strings are written as U+FFFD, so flow data from the network can never make rendering fail.
void td_json_to_string(const json &j, std::string &out, bool pretty);
