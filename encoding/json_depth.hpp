#pragma once

#include <cstddef>
#include <string_view>

// Finds where JSON text nests deeper than `limit` levels, counting every "[" or "{" outside a
// string without parsing or allocating, so a caller can refuse a document before a recursive
// routine (copy, dump, comparison) runs out of stack on it. Returns the byte offset of the first
// bracket that opens level `limit` + 1, or std::string_view::npos when the text stays within the
// limit. Malformed text is scanned as far as it goes; telling it apart is the parser's job.
size_t tfaJsonTooDeep(std::string_view text, size_t limit);
