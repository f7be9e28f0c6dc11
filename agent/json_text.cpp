#include "host/json_text.hpp"

namespace
{
constexpr int pretty_indent = 4;
constexpr int compact_indent = -1;
} // namespace

void td_json_to_string(const json &j, std::string &out, bool pretty)
{
    out =
        j.dump(pretty ? pretty_indent : compact_indent, ' ', false, json::error_handler_t::replace);
}
