#include "host/files.hpp"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <memory>
#include <sys/stat.h>

namespace
{
// 1 when `path` is of the kind `is_kind` accepts, 0 when absent or of another kind, -1 on error.
int path_is(const std::string &path, bool (*is_kind)(mode_t))
{
    struct stat sb;
    if (stat(path.c_str(), &sb) != 0)
        return errno == ENOENT || errno == ENOTDIR ? 0 : -1;
    return is_kind(sb.st_mode) ? 1 : 0;
}

bool is_regular(mode_t mode)
{
    return S_ISREG(mode);
}
bool is_directory(mode_t mode)
{
    return S_ISDIR(mode);
}
} // namespace

int td_file_exists(const std::string &path)
{
    return path_is(path, is_regular);
}

int td_dir_exists(const std::string &path)
{
    return path_is(path, is_directory);
}

bool td_scan_dotd(const std::string &dir, std::vector<std::string> &files)
{
    files.clear();
    std::unique_ptr<DIR, int (*)(DIR *)> handle(opendir(dir.c_str()), closedir);
    if (!handle)
        return false;

    errno = 0;
    while (struct dirent *entry = readdir(handle.get())) {
        std::string name = entry->d_name;
        if (name[0] != '.' && td_file_exists(dir + "/" + name) == 1)
            files.push_back(name);
        errno = 0;
    }
    if (errno != 0) {
        files.clear();
        return false;
    }
    std::sort(files.begin(), files.end());
    return true;
}
