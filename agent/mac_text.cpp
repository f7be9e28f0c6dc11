#include "agent/mac_text.hpp"

#include <cctype>

namespace
{
constexpr size_t MAC_TEXT_LENGTH = MAC_BYTES * 3 - 1;

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}
} // namespace

bool td_parse_mac(std::string_view text, uint8_t *mac)
{
    if (text.size() != MAC_TEXT_LENGTH)
        return false;
    for (size_t i = 0; i < MAC_BYTES; i++) {
        int high = HexDigit(text[i * 3]), low = HexDigit(text[i * 3 + 1]);
        if (high < 0 || low < 0)
            return false;
        if (i + 1 < MAC_BYTES && text[i * 3 + 2] != ':' && text[i * 3 + 2] != '-')
            return false;
        mac[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}
