#include "rules/read_file.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
constexpr size_t READ_CHUNK = 65536;

std::string CheckKind(int fd, size_t limit)
{
    struct stat sb;
    if (fstat(fd, &sb) != 0)
        return strerror(errno);
    if (S_ISDIR(sb.st_mode))
        return strerror(EISDIR);
    if (!S_ISREG(sb.st_mode))
        return "not a regular file";
    if (static_cast<unsigned long long>(sb.st_size) > limit)
        return "larger than " + std::to_string(limit) + " bytes";
    return std::string();
}

// Reads to the end, refusing a file that grew past the limit while it was read.
std::string ReadAll(int fd, size_t limit, std::string &text)
{
    char buffer[READ_CHUNK];
    for (;;) {
        ssize_t length = read(fd, buffer, sizeof(buffer));
        if (length < 0 && errno == EINTR)
            continue;
        if (length < 0)
            return strerror(errno);
        if (length == 0)
            return std::string();
        if (text.size() + static_cast<size_t>(length) > limit)
            return "larger than " + std::to_string(limit) + " bytes";
        text.append(buffer, static_cast<size_t>(length));
    }
}
} // namespace

std::string tfaReadFile(const std::string &path, size_t limit, std::string &text)
{
    text.clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return strerror(errno);
    std::string error = CheckKind(fd, limit);
    if (error.empty())
        error = ReadAll(fd, limit, text);
    close(fd);
    if (!error.empty())
        text.clear();
    return error;
}
