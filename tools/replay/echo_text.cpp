#include "tools/replay/echo_text.hpp"

#include <cstdint>
#include <cstdio>

namespace
{
constexpr const char *ELLIPSIS = "...";
constexpr uint8_t DEL = 0x7f;
constexpr uint32_t C1_FIRST = 0x80;
constexpr uint32_t C1_LAST = 0x9f;

// Length of the well-formed UTF-8 sequence at `at` and its code point; 0 when there is none.
size_t Utf8Sequence(std::string_view text, size_t at, uint32_t &code)
{
    uint8_t lead = static_cast<uint8_t>(text[at]);
    size_t length = lead < 0x80                   ? 1
                    : lead >= 0xc2 && lead < 0xe0 ? 2
                    : lead >= 0xe0 && lead < 0xf0 ? 3
                    : lead >= 0xf0 && lead < 0xf5 ? 4
                                                  : 0;
    if (length == 0 || at + length > text.size())
        return 0;
    code = length == 1 ? lead : lead & (0xff >> (length + 1));
    for (size_t i = 1; i < length; i++) {
        uint8_t next = static_cast<uint8_t>(text[at + i]);
        if ((next & 0xc0) != 0x80)
            return 0;
        code = code << 6 | (next & 0x3f);
    }
    static const uint32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < shortest[length] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff))
        return 0;
    return length;
}

void AppendHex(std::string &out, uint8_t byte)
{
    char hex[8];
    snprintf(hex, sizeof(hex), "\\x%02x", byte);
    out += hex;
}

bool IsControl(uint32_t code)
{
    return code < 0x20 || code == DEL || (code >= C1_FIRST && code <= C1_LAST);
}
} // namespace

std::string tfaEchoText(std::string_view text, size_t limit)
{
    std::string out;
    size_t at = 0;
    while (at < text.size()) {
        uint32_t code = 0;
        size_t length = Utf8Sequence(text, at, code);
        size_t step = length == 0 ? 1 : length;
        if (at + step > limit)
            return out + ELLIPSIS;
        if (length == 0 || IsControl(code)) {
            for (size_t i = 0; i < step; i++)
                AppendHex(out, static_cast<uint8_t>(text[at + i]));
        } else {
            out.append(text.substr(at, length));
        }
        at += step;
    }
    return out;
}
