// The JSON value type shared by the host and its plug-ins. Objects keep their members in byte order
// of their names, so every document written is stable from run to run.
#pragma once

#include <nlohmann/json.hpp>

using json = nlohmann::json;
