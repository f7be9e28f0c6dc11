#include "targets/pf/ruleset.hpp"

#include "targets/pf/debug.hpp"
#include "targets/pf/pf_device.hpp"
#include "targets/pf/pfr_buf.hpp"
#include "targets/pf/pfvar.hpp"

#include <cerrno>
#include <cstring>
#include <string.h>

namespace
{

// A zeroed ruleset request for `path`; false (with EINVAL) when the path does not fit.
bool init_request(pfioc_ruleset &ruleset, const char *path)
{
    memset(&ruleset, 0, sizeof(ruleset));
    if (path == nullptr ||
        strlcpy(ruleset.path, path, sizeof(ruleset.path)) >= sizeof(ruleset.path)) {
        errno = EINVAL;
        return false;
    }
    return true;
}

} // namespace

int pfctl_get_status(int fd, bool *running)
{
    if (running == nullptr) {
        errno = EINVAL;
        return -1;
    }
#if !defined(TFA_HAVE_PF) || defined(DIOCGETSTATUS)
    pf_status status;
    memset(&status, 0, sizeof(status));
    if (pf_ioctl(fd, DIOCGETSTATUS, &status) == -1)
        return -1;
    *running = status.running != 0;
    return 0;
#else
    // Releases that answer the status request only as an nvlist are not supported.
    errno = ENOTSUP;
    return -1;
#endif
}

int pfctl_get_rulesets(int fd, const char *path, uint32_t *count)
{
    pfioc_ruleset ruleset;

    if (count == nullptr || !init_request(ruleset, path)) {
        errno = EINVAL;
        return -1;
    }
    if (pf_ioctl(fd, DIOCGETRULESETS, &ruleset) == -1)
        return -1;
    *count = ruleset.nr;
    return 0;
}

int pfctl_get_ruleset(int fd, const char *path, uint32_t index, char *name, size_t size)
{
    pfioc_ruleset ruleset;

    if (name == nullptr || size == 0 || !init_request(ruleset, path)) {
        errno = EINVAL;
        return -1;
    }
    ruleset.nr = index;
    if (pf_ioctl(fd, DIOCGETRULESET, &ruleset) == -1)
        return -1;
    strlcpy(name, ruleset.name, size);
    return 0;
}

int pfctl_add_trans(pfr_buf *buf, int ruleset, const char *anchor)
{
    pfioc_trans_e element;

    if (buf == nullptr || buf->kind != BUF_TRANS || anchor == nullptr) {
        errno = EINVAL;
        pf_dprintf("%s: type: %d, anchor: %s: %s\n", "pfctl_add_trans", ruleset,
                   anchor != nullptr ? anchor : "", strerror(errno));
        return -1;
    }
    memset(&element, 0, sizeof(element));
    element.rs_num = ruleset;
    if (strlcpy(element.anchor, anchor, sizeof(element.anchor)) >= sizeof(element.anchor)) {
        errno = EINVAL;
        pf_dprintf("%s: type: %d, anchor: %s: strlcpy: %s\n", "pfctl_add_trans", ruleset, anchor,
                   strerror(errno));
        return -1;
    }
    return pfr_buf_add(buf, &element);
}

int pfctl_trans(int fd, pfr_buf *buf, unsigned long request)
{
    pfioc_trans trans;

    if (buf == nullptr || buf->kind != BUF_TRANS) {
        errno = EINVAL;
        return -1;
    }
    memset(&trans, 0, sizeof(trans));
    trans.size = buf->count;
    trans.esize = sizeof(pfioc_trans_e);
    trans.array = static_cast<pfioc_trans_e *>(buf->storage);
    return pf_ioctl(fd, request, &trans);
}

int pfctl_flush_anchor(int fd, const char *anchor)
{
    pfr_buf buf = {BUF_TRANS, 0, 0, nullptr};
    int result = -1;

    if (pfctl_add_trans(&buf, PF_RULESET_SCRUB, anchor) == 0 &&
        pfctl_add_trans(&buf, PF_RULESET_FILTER, anchor) == 0 &&
        pfctl_trans(fd, &buf, DIOCXBEGIN) == 0 && pfctl_trans(fd, &buf, DIOCXCOMMIT) == 0)
        result = 0;
    pfr_buf_clear(&buf);
    return result;
}
