#pragma once

#include <cstddef>
#include <string>

// Reads the whole of a regular file of at most `limit` bytes into `text`. Returns an empty string
// on success, else why not: the system's error text, "Is a directory" for a directory, "not a
// regular file" for a FIFO, device or socket (opened without blocking, so a FIFO with no writer
// cannot stall the caller), or "larger than N bytes".
std::string tfaReadFile(const std::string &path, size_t limit, std::string &text);
