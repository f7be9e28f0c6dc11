#pragma once

#include <string>
#include <vector>

// 1 when `path` names a regular file (symbolic links followed), 0 when it names nothing or
// something else, -1 when it cannot be examined (errno tells why).
int td_file_exists(const std::string &path);
// 1 when `path` names a directory (symbolic links followed), 0 when it names nothing or something
// else, -1 when it cannot be examined (errno tells why).
int td_dir_exists(const std::string &path);

// Replaces `files` with the names (not paths) of the regular files in directory `dir`, sorted by
// name in byte order; names beginning with "." are skipped. False (errno set, `files` empty) when
// the directory cannot be read.
bool td_scan_dotd(const std::string &dir, std::vector<std::string> &files);
