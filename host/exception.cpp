#include "host/exception.hpp"

#include <cstdarg>

#include "host/format.hpp"

tdException::tdException(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    message = td_vformat(format, ap);
    va_end(ap);
}
