#include "agent/files.hpp"
#include "host/files.hpp"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

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

bool td_read_file(const std::string &path, std::string &data)
{
    data.clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat sb;
    int error = fstat(fd, &sb) != 0 ? errno : S_ISDIR(sb.st_mode) ? EISDIR : 0;
    char buffer[8192];
    while (error == 0) {
        ssize_t length = read(fd, buffer, sizeof(buffer));
        if (length < 0 && errno == EINTR)
            continue;
        if (length < 0)
            error = errno;
        if (length <= 0)
            break;
        data.append(buffer, static_cast<size_t>(length));
    }
    close(fd);
    errno = error;
    return error == 0;
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
