#include "targets/pf/ruleset.hpp"

#include "targets/pf/debug.hpp"
#include "targets/pf/pf_device.hpp"
#include "targets/pf/pfr_buf.hpp"
#include "targets/pf/pfvar.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string.h>

#ifdef DIOCGETSTATUSNV
#include <sys/nv.h>
#endif

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

#ifdef DIOCGETSTATUSNV
// FreeBSD 14 answers the status request as an nvlist too, and FreeBSD 15 only so. pf refuses a
// buffer too small for its answer with ENOSPC; the answer is a few kilobytes.
constexpr size_t STATUS_NV_SIZE = 4096;
constexpr size_t STATUS_NV_SIZE_MAX = 1024 * 1024;

int get_status_nv(int fd, bool *running)
{
    pfioc_nv request;
    nvlist_t *status = nullptr;
    int result = -1;
    int saved;

    memset(&request, 0, sizeof(request));
    for (size_t size = STATUS_NV_SIZE;; size *= 2) {
        void *data = realloc(request.data, size);
        if (data == nullptr)
            goto done;
        request.data = data;
        request.size = size;
        request.len = 0;
        if (pf_ioctl(fd, DIOCGETSTATUSNV, &request) == 0)
            break;
        if (errno != ENOSPC || size >= STATUS_NV_SIZE_MAX)
            goto done;
    }
    status = nvlist_unpack(request.data, request.len, 0);
    if (status == nullptr || !nvlist_exists_bool(status, "running")) {
        errno = EINVAL;
        goto done;
    }
    *running = nvlist_get_bool(status, "running");
    result = 0;

done:
    saved = errno;
    nvlist_destroy(status);
    free(request.data);
    errno = saved;
    return result;
}
#endif

} // namespace

int pfctl_get_status(int fd, bool *running)
{
    if (running == nullptr) {
        errno = EINVAL;
        return -1;
    }
#ifdef DIOCGETSTATUSNV
    return get_status_nv(fd, running);
#else
    pf_status status;
    memset(&status, 0, sizeof(status));
    if (pf_ioctl(fd, DIOCGETSTATUS, &status) == -1)
        return -1;
    *running = status.running != 0;
    return 0;
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
