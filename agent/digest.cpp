#include "host/digest.hpp"

#include <cstdio>

void td_xxh64_to_string(uint64_t digest, std::string &text)
{
    char buffer[17];
    snprintf(buffer, sizeof(buffer), "%016llx", static_cast<unsigned long long>(digest));
    text = buffer;
}

void td_sha1_to_string(const std::vector<uint8_t> &bytes, std::string &text)
{
    static const char digits[] = "0123456789abcdef";
    text.clear();
    text.reserve(bytes.size() * 2);
    for (uint8_t byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0f];
    }
}
