#include "support/temp_dir.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace fs = std::filesystem;

TempDir::TempDir(const std::string &prefix) : path(Create(prefix))
{
}

TempDir::~TempDir()
{
    // A destructor must not throw; what cannot be removed stays in the temporary directory.
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

std::string TempDir::Write(const std::string &name, const std::string &content) const
{
    fs::path file = fs::path(path) / name;
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << content;
    return file.string();
}

std::string TempDir::Dir(const std::string &name) const
{
    fs::create_directories(fs::path(path) / name);
    return (fs::path(path) / name).string();
}

std::string TempDir::Create(const std::string &prefix)
{
    std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot create a directory like " + pattern + ": " +
                                 strerror(errno));
    return pattern;
}
