#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Input text made safe to show on a terminal: control characters (C0, DEL and the C1 range) and
// bytes that are not UTF-8 become "\xHH", so no escape sequence of the input reaches the
// terminal; text past `limit` bytes of the input is left out and marked with "...", never
// cutting a character in two.
std::string tfaEchoText(std::string_view text, size_t limit);
