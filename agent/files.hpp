#pragma once

#include <string>

// The stand-in's own file reader, for the catalogue and zone files it loads.
// Replaces `data` with the whole content of the file at `path`. False (errno set; EISDIR for a
// directory) when it cannot be read.
bool td_read_file(const std::string &path, std::string &data);
