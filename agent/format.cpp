#include "agent/format.hpp"

#include <cstdio>

std::string td_vformat(const char *format, va_list ap)
{
    va_list copy;
    va_copy(copy, ap);
    int length = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length <= 0)
        return std::string();

    std::string text(static_cast<size_t>(length), '\0');
    vsnprintf(text.data(), text.size() + 1, format, ap);
    return text;
}

std::string td_format(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    std::string text = td_vformat(format, ap);
    va_end(ap);
    return text;
}
