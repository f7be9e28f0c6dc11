#include "targets/pftable_config.hpp"

#include "host/exception.hpp"
#include "targets/pf/debug.hpp"
#include "targets/pf/pf_device.hpp"
#include "targets/pf/ruleset.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>

namespace
{
constexpr char OWNER[] = "pftable";
}

tfaTargetPFtableConfig::~tfaTargetPFtableConfig()
{
    Close();
}

bool tfaTargetPFtableConfig::Open()
{
    if (fd != -1)
        return true;
    // Not inherited: a child of the host must not be able to change pf.
    fd = pf_open(device.c_str(), O_RDWR | O_CLOEXEC);
    if (fd == -1) {
        pf_dprintf("%s: unable to open PF: %s: %s\n", OWNER, device.c_str(), strerror(errno));
        return false;
    }
    bool running = IsRunning();
    pf_dprintf("%s: openend PF: %s, running: %s\n", OWNER, device.c_str(), running ? "yes" : "no");
    return true;
}

bool tfaTargetPFtableConfig::IsRunning()
{
    bool running = false;
    if (fd == -1)
        return false;
    if (pfctl_get_status(fd, &running) == -1) {
        pf_dprintf("%s: DIOCGETSTATUS: %s\n", OWNER, strerror(errno));
        return false;
    }
    return running;
}

bool tfaTargetPFtableConfig::Close()
{
    if (fd == -1)
        return false;
    if (pf_close(fd) == -1) {
        pf_dprintf("%s: unable to close PF: %s: %s\n", OWNER, device.c_str(), strerror(errno));
        return false;
    }
    fd = -1;
    pf_dprintf("%s: closed PF: %s\n", OWNER, device.c_str());
    return true;
}

void tfaTargetPFtableConfig::SetDevice(const std::string &path)
{
    device = path;
    // A descriptor that cannot be closed is of no further use: keeping it would leave the new
    // device unopened while reporting success.
    if (!Close())
        fd = -1;
    if (!Open())
        throw tdException("%s: %s: %s",
                          "void tfaTargetPFtableConfig::SetDevice(const std::string &)",
                          device.c_str(), strerror(errno));
}
