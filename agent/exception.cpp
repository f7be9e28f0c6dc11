#include "host/exception.hpp"

#include "agent/format.hpp"

#include <cstdarg>

tdException::tdException(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    message = td_vformat(format, ap);
    va_end(ap);
}

tdException::~tdException() = default;
