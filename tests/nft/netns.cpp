#include "nft/netns.hpp"

#include "targets/nft/netlink.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{
int OpenCurrent()
{
    return open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
}

std::string Probe()
{
    if (geteuid() != 0)
        return "needs root: each test makes network namespaces of its own";
    std::string reason;
    // In a thread of its own, so the test process itself never changes namespace here.
    std::thread probe([&reason]() {
        if (unshare(CLONE_NEWNET) == -1) {
            reason = std::string("network namespaces unavailable: unshare(CLONE_NEWNET): ") +
                     strerror(errno);
            return;
        }
        tfaNftNetlink kernel;
        if (kernel.ListSets(nullptr) == -1)
            reason = std::string("nftables unavailable in a network namespace: ") +
                     strerror(errno);
    });
    probe.join();
    if (reason.empty() && Shell("nft --version") != 0)
        reason = "the nft program is missing (package nftables)";
    if (reason.empty() && Shell("ip -V") != 0)
        reason = "the ip program is missing (package iproute2)";
    return reason;
}
} // namespace

std::string KernelUnavailable()
{
    static const std::string reason = Probe();
    return reason;
}

FreshNetns::FreshNetns()
{
    original = OpenCurrent();
    if (original == -1) {
        failure = std::string("/proc/thread-self/ns/net: ") + strerror(errno);
        return;
    }
    if (unshare(CLONE_NEWNET) == -1) {
        failure = std::string("unshare(CLONE_NEWNET): ") + strerror(errno);
        close(original);
        original = -1;
    }
}

FreshNetns::~FreshNetns()
{
    if (original == -1)
        return;
    if (setns(original, CLONE_NEWNET) == -1)
        perror("setns back to the test's network namespace");
    close(original);
}

NamedNetns::NamedNetns(const std::string &name) : name(name)
{
    made = Shell("ip netns add '" + name + "'") == 0;
}

NamedNetns::~NamedNetns()
{
    if (made)
        Shell("ip netns del '" + name + "'");
}

int Shell(const std::string &command, std::string *output)
{
    // A subshell, so that a command ending in a here-document keeps its terminator line.
    FILE *pipe = popen(("(" + command + "\n) 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return -1;
    std::string text;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof(chunk), pipe)) > 0)
        text.append(chunk, got);
    int status = pclose(pipe);
    if (output != nullptr)
        *output = text;
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int EnterNamed(const std::string &name)
{
    int previous = OpenCurrent();
    if (previous == -1)
        return -1;
    int fd = open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1 || setns(fd, CLONE_NEWNET) == -1) {
        if (fd != -1)
            close(fd);
        close(previous);
        return -1;
    }
    close(fd);
    return previous;
}

bool Return(int fd)
{
    bool back = setns(fd, CLONE_NEWNET) == 0;
    close(fd);
    return back;
}
