#include "encoding/json_depth.hpp"

size_t tfaJsonTooDeep(std::string_view text, size_t limit)
{
    size_t depth = 0;
    bool in_string = false;
    bool escaped = false;
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        if (in_string) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit)
                return i;
        } else if ((c == ']' || c == '}') && depth > 0) {
            depth--;
        }
    }
    return std::string_view::npos;
}
