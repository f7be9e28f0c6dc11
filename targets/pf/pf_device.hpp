#pragma once

// The one seam between the pf routines and pf. Where the system has pf (targets/pf/pf_device.cpp)
// these are the system calls on the pf device; elsewhere the userspace model in libtfa-pfsim
// defines them, and the linker joins the two. Each behaves like its system call: -1 with errno
// set on failure.

#include <ctime>

int pf_open(const char *path, int flags);
int pf_ioctl(int fd, unsigned long request, void *arg);
int pf_close(int fd);
// The wall clock pf stamps the zero time of table addresses with.
time_t pf_time();
