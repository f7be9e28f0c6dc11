#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

// Creates the files of a log directory one at a time, so that a reader watching the directory
// never sees half a file.
//
// Open() creates the file under a hidden temporary name in the directory (a name starting with
// "."); Close() flushes it to disk and only then gives it its final name:
//
//   <prefix><name><suffix>                     for Open(name) with a non-empty name
//   <prefix>YYYYMMDDTHHMMSSZ-<n><suffix>       for Open(""): the UTC time of Open, then a sequence
//                                              number that starts at 0 each second and skips names
//                                              already taken
//
// A generated name never replaces an existing file. A fixed name replaces an existing file only
// when the directory was constructed with `overwrite` true; otherwise Close() fails with EEXIST.
// An empty `path` means the current directory. Files are created with mode 0666 less the
// process umask, as fopen() would.
//
// One object is used by one thread at a time; GetClosedFiles() may be called from any thread.
class tdLogDirectory
{
public:
    tdLogDirectory(const std::string &path, const std::string &prefix, const std::string &suffix,
                   bool overwrite);
    // Discards a file that is still open: it is removed, never given its final name.
    ~tdLogDirectory();

    tdLogDirectory(const tdLogDirectory &) = delete;
    tdLogDirectory &operator=(const tdLogDirectory &) = delete;

    // Starts a new file and returns it for writing; the file stays owned by this object and must
    // not be closed by the caller. A file still open from an earlier Open() is discarded first.
    // Returns null with errno set when the file cannot be created; EINVAL when the prefix, the
    // name or the suffix contains "/", or any of them or the path a NUL byte; EEXIST when a
    // thousand temporary names in a row are taken.
    FILE *Open(const std::string &name = std::string());

    // Finishes the file of the last Open(): flushes and syncs it, then renames it into place. On
    // any failure the file is removed, errno is set and the result is false; EBADF when no file
    // is open; EEXIST when a thousand generated names in a row are taken.
    bool Close();

    // The path (directory as given, joined with the final name) of every file this process has
    // finished, oldest first.
    static std::vector<std::string> GetClosedFiles();

private:
    bool Publish(std::string &final_path);
    bool PublishGenerated(std::string &final_path);
    void Discard();

    const std::string path;
    const std::string prefix;
    const std::string suffix;
    const bool overwrite;

    FILE *file = nullptr;
    std::string temp_path;
    std::string fixed_name;
    std::string stamp;
    std::string last_stamp;
    uint32_t sequence = 0;
};
