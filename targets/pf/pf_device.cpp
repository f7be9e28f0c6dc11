#include "targets/pf/pf_device.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

int pf_open(const char *path, int flags)
{
    return open(path, flags);
}

int pf_ioctl(int fd, unsigned long request, void *arg)
{
    return ioctl(fd, request, arg);
}

int pf_close(int fd)
{
    return close(fd);
}

time_t pf_time()
{
    return time(nullptr);
}
