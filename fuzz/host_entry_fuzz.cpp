// Parses arbitrary text as a pf table entry ("address[/prefix][@interface]") and appends what
// parses to an address buffer, as the pf table target does with every flow address it is given.

#include "targets/pf/host_entry.hpp"
#include "targets/pf/pfr_buf.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The parser takes a C string, as pf's does; text past a NUL never reaches it.
    std::string text(reinterpret_cast<const char *>(data), size);
    host_entry *list = pfctl_host(text.c_str());
    if (list == nullptr)
        return 0;
    pfr_buf buf{BUF_ADDRS, 0, 0, nullptr};
    pfctl_append_host(&buf, list);
    pfr_buf_clear(&buf);
    pfctl_free_host(list);
    return 0;
}
