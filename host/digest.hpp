#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Lower-case hexadecimal texts of digests: 16 digits for a 64-bit digest, two per byte otherwise.
void td_xxh64_to_string(uint64_t digest, std::string &text);
void td_sha1_to_string(const std::vector<uint8_t> &bytes, std::string &text);
