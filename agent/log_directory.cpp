#include "host/log_directory.hpp"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace
{
constexpr mode_t file_mode = 0666;
constexpr char stamp_format[] = "%Y%m%dT%H%M%SZ";
constexpr char temp_suffix[] = ".tmp";
// Names are unique by construction, so a run of this many taken names means something else is
// wrong (a name the system cuts short, a directory full of leftovers): fail rather than spin.
constexpr unsigned CREATE_ATTEMPTS = 1000;

struct ClosedFiles {
    std::mutex lock;
    std::vector<std::string> paths;
};

ClosedFiles &closed_files()
{
    static ClosedFiles files;
    return files;
}

void RecordClosed(const std::string &path)
{
    ClosedFiles &files = closed_files();
    std::lock_guard<std::mutex> guard(files.lock);
    files.paths.push_back(path);
}

std::string Join(const std::string &dir, const std::string &name)
{
    if (dir.empty())
        return name;
    if (dir.back() == '/')
        return dir + name;
    return dir + "/" + name;
}

bool HasSlash(const std::string &text)
{
    return text.find('/') != std::string::npos;
}

// The system reads names as C strings: a NUL would cut every name at the same place.
bool HasNul(const std::string &text)
{
    return text.find('\0') != std::string::npos;
}

std::string UtcStamp()
{
    time_t now = time(nullptr);
    struct tm tm {
    };
    gmtime_r(&now, &tm);
    char text[32];
    if (strftime(text, sizeof(text), stamp_format, &tm) == 0)
        return std::to_string(now);
    return text;
}

// Creates a hidden, not yet used file in `dir`. The pid keeps processes sharing the directory
// apart; the counter keeps this process's files apart, and O_EXCL skips leftovers.
int CreateTemp(const std::string &dir, const std::string &prefix, std::string &temp_path)
{
    static std::atomic<unsigned> counter{0};
    for (unsigned attempt = 0; attempt < CREATE_ATTEMPTS; attempt++) {
        temp_path = Join(dir, "." + prefix + std::to_string(getpid()) + "-" +
                                  std::to_string(counter++) + temp_suffix);
        int fd = open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, file_mode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

// Gives `from` the name `to` unless `to` exists; link() fails with EEXIST where rename() would
// replace.
bool LinkNoReplace(const std::string &from, const std::string &to)
{
    if (link(from.c_str(), to.c_str()) != 0)
        return false;
    unlink(from.c_str());
    return true;
}
} // namespace

tdLogDirectory::tdLogDirectory(const std::string &path, const std::string &prefix,
                               const std::string &suffix, bool overwrite)
    : path(path), prefix(prefix), suffix(suffix), overwrite(overwrite)
{
}

tdLogDirectory::~tdLogDirectory()
{
    Discard();
}

FILE *tdLogDirectory::Open(const std::string &name)
{
    Discard();
    if (HasSlash(prefix) || HasSlash(name) || HasSlash(suffix) || HasNul(path) ||
        HasNul(prefix) || HasNul(name) || HasNul(suffix)) {
        errno = EINVAL;
        return nullptr;
    }
    int fd = CreateTemp(path, prefix, temp_path);
    if (fd < 0)
        return nullptr;
    file = fdopen(fd, "w");
    if (file == nullptr) {
        int error = errno;
        close(fd);
        unlink(temp_path.c_str());
        errno = error;
        return nullptr;
    }
    fixed_name = name;
    stamp = UtcStamp();
    return file;
}

bool tdLogDirectory::Close()
{
    if (file == nullptr) {
        errno = EBADF;
        return false;
    }
    int error = 0;
    if (ferror(file))
        error = EIO;
    else if (fflush(file) != 0 || fsync(fileno(file)) != 0)
        error = errno;
    if (fclose(file) != 0 && error == 0)
        error = errno;
    file = nullptr;

    std::string final_path;
    if (error == 0 && !Publish(final_path))
        error = errno;
    if (error != 0) {
        unlink(temp_path.c_str());
        errno = error;
        return false;
    }
    RecordClosed(final_path);
    return true;
}

std::vector<std::string> tdLogDirectory::GetClosedFiles()
{
    ClosedFiles &files = closed_files();
    std::lock_guard<std::mutex> guard(files.lock);
    return files.paths;
}

bool tdLogDirectory::Publish(std::string &final_path)
{
    if (fixed_name.empty())
        return PublishGenerated(final_path);
    final_path = Join(path, prefix + fixed_name + suffix);
    if (overwrite)
        return rename(temp_path.c_str(), final_path.c_str()) == 0;
    return LinkNoReplace(temp_path, final_path);
}

bool tdLogDirectory::PublishGenerated(std::string &final_path)
{
    if (stamp != last_stamp) {
        last_stamp = stamp;
        sequence = 0;
    }
    for (unsigned attempt = 0; attempt < CREATE_ATTEMPTS; attempt++) {
        final_path = Join(path, prefix + stamp + "-" + std::to_string(sequence++) + suffix);
        if (LinkNoReplace(temp_path, final_path))
            return true;
        if (errno != EEXIST)
            return false;
    }
    errno = EEXIST;
    return false;
}

void tdLogDirectory::Discard()
{
    if (file == nullptr)
        return;
    fclose(file);
    file = nullptr;
    unlink(temp_path.c_str());
}
