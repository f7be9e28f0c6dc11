#include "targets/pf/debug.hpp"

#include "host/format.hpp"
#include "host/log.hpp"

#include <cerrno>
#include <cstdarg>
#include <string>

void pf_dprintf(const char *format, ...)
{
    if (!td_debug_enabled())
        return;
    int saved = errno;
    va_list ap;
    va_start(ap, format);
    std::string text = td_vformat(format, ap);
    va_end(ap);
    td_dprintf("%s", text.c_str());
    errno = saved;
}
