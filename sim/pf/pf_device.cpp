#include "targets/pf/pf_device.hpp"

#include "sim/pf/pfsim.hpp"

// The pf routines' seam, answered by the model instead of the kernel.

int pf_open(const char *path, int flags)
{
    return pfsim::Open(path, flags);
}

int pf_ioctl(int fd, unsigned long request, void *arg)
{
    return pfsim::Ioctl(fd, request, arg);
}

int pf_close(int fd)
{
    return pfsim::Close(fd);
}

time_t pf_time()
{
    return static_cast<time_t>(pfsim::Now());
}
