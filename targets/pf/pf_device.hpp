#pragma once

// The one seam between the pf routines and pf. On FreeBSD these are the system calls on the pf
// device; elsewhere they reach the userspace model in libtfa-pfsim. Each behaves like its system
// call: -1 with errno set on failure.

#include <ctime>

#ifdef TFA_HAVE_PF

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

inline int pf_open(const char *path, int flags)
{
    return open(path, flags);
}
inline int pf_ioctl(int fd, unsigned long request, void *arg)
{
    return ioctl(fd, request, arg);
}
inline int pf_close(int fd)
{
    return close(fd);
}
// The wall clock pf stamps the zero time of table addresses with.
inline time_t pf_time()
{
    return time(nullptr);
}

#else

#include "sim/pf/pfsim.hpp"

inline int pf_open(const char *path, int flags)
{
    return pfsim::Open(path, flags);
}
inline int pf_ioctl(int fd, unsigned long request, void *arg)
{
    return pfsim::Ioctl(fd, request, arg);
}
inline int pf_close(int fd)
{
    return pfsim::Close(fd);
}
inline time_t pf_time()
{
    return static_cast<time_t>(pfsim::Now());
}

#endif
