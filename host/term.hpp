#pragma once

// Terminal text fragments for status displays.
namespace tdTerm {
namespace Color {
inline constexpr const char *GREEN = "\033[0;32m";
inline constexpr const char *RED = "\033[0;31m";
} // namespace Color
namespace Attr {
inline constexpr const char *RESET = "\033[0m";
} // namespace Attr
namespace Icon {
inline constexpr const char *INFO = "\u2139";
inline constexpr const char *FAIL = "\u2716";
} // namespace Icon
} // namespace tdTerm
