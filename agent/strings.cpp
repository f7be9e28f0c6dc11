#include "host/strings.hpp"

#include <cctype>

namespace
{
bool trimmed(char c, unsigned char ch)
{
    auto byte = static_cast<unsigned char>(c);
    return ch == 0 ? std::isspace(byte) != 0 : byte == ch;
}
} // namespace

void td_ltrim(std::string &text, unsigned char ch)
{
    size_t first = 0;
    while (first < text.size() && trimmed(text[first], ch))
        first++;
    text.erase(0, first);
}

void td_rtrim(std::string &text, unsigned char ch)
{
    size_t last = text.size();
    while (last > 0 && trimmed(text[last - 1], ch))
        last--;
    text.erase(last);
}

void td_trim(std::string &text, unsigned char ch)
{
    td_rtrim(text, ch);
    td_ltrim(text, ch);
}

void td_expand_variables(const std::string &input, std::string &output,
                         const std::map<std::string, std::string> &vars)
{
    static const std::string open = "${";
    std::string result;
    size_t pos = 0;
    while (pos < input.size()) {
        size_t start = input.find(open, pos);
        size_t close = start == std::string::npos ? start : input.find('}', start + open.size());
        if (close == std::string::npos) {
            result.append(input, pos, std::string::npos);
            break;
        }
        result.append(input, pos, start - pos);
        auto var = vars.find(input.substr(start + open.size(), close - start - open.size()));
        if (var == vars.end()) {
            // Keep the "$" and look again just after it, so "${a${b}" still expands ${b}.
            result += input[start];
            pos = start + 1;
            continue;
        }
        result += var->second;
        pos = close + 1;
    }
    output = result;
}
