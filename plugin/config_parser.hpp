#pragma once

#include "host/json.hpp"

#include <string>

// Reads a configuration text (comments allowed) in two linear passes: a checking pass that holds
// no document, then the parse proper. The check refuses, before anything recursive touches the
// text, a document nested deeper than NESTING_LIMIT and a key given twice in one object, which
// JSON would otherwise silently collapse into the last one.
class tfaConfigParser
{
public:
    // Objects and arrays inside each other, counting the top level.
    static constexpr size_t NESTING_LIMIT = 64;

    // Throws tdException "<tag>: Error loading configuration: <path>: <reason>" (a repeated
    // action or target keeps its own "<name>: duplicate action|target").
    static json Parse(const std::string &tag, const std::string &path, const std::string &text);
};
