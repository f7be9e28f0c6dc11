#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

constexpr size_t MAC_BYTES = 6;

// Reads a MAC address written as six two-digit hexadecimal octets separated by ":" or "-"
// ("00:1b:21:3a:4f:5e") into the MAC_BYTES bytes at `mac`; false for anything else, `mac` then
// undefined.
bool td_parse_mac(std::string_view text, uint8_t *mac);
