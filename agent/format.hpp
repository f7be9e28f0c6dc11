#pragma once

#include <cstdarg>
#include <string>

// printf-style formatting into a string, for messages whose length is not known in advance.
std::string td_vformat(const char *format, va_list ap);
std::string td_format(const char *format, ...) __attribute__((format(printf, 1, 2)));
