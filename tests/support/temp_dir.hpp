#pragma once

#include <string>

// A fresh directory under the system's temporary directory, removed with everything in it when
// the object goes, so that a failed assertion leaves nothing behind.
class TempDir
{
public:
    explicit TempDir(const std::string &prefix = "tfa-test");
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    // Writes `content` to `name` (directories created) and returns the file's path.
    std::string Write(const std::string &name, const std::string &content) const;
    // Creates the directory `name` (and its parents) and returns its path.
    std::string Dir(const std::string &name) const;

    const std::string path;

private:
    static std::string Create(const std::string &prefix);
};
