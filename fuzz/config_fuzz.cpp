// Loads arbitrary bytes as the plug-in's configuration file, the way a reload does: the plug-in is
// created through its exported entry and told to load the file. Any fault must end as a refusal
// (an exception or a reported line), never a crash, hang or leak.

#include "agent/log_control.hpp"
#include "plugin/plugin.hpp"
#include "rules/exception_text.hpp"
#include "tools/replay/host_setup.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <unistd.h>

namespace
{
constexpr const char *TAG = "flow-actions";

// The host as the replay host sets it up (with the pf model's device), and one scratch file
// rewritten for every input.
struct Host {
    Host()
    {
        char pattern[] = "/tmp/tfa-config-fuzz-XXXXXX";
        int fd = mkstemp(pattern);
        if (fd < 0)
            abort();
        close(fd);
        path = pattern;
        td_set_log_hook([](bool, const std::string &) {});
    }
    ~Host() { unlink(path.c_str()); }

    tfaHostSetup setup{
        TAG, {}, TFA_SOURCE_DIR "/examples/applications.json", {tfaHostSetup::DEFAULT_PF_DEVICE}};
    std::string path;
};

void WriteFile(const std::string &path, const uint8_t *data, size_t size)
{
    FILE *file = fopen(path.c_str(), "wb");
    if (file == nullptr || fwrite(data, 1, size, file) != size || fclose(file) != 0)
        abort();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Host host;
    WriteFile(host.path, data, size);
    std::unique_ptr<tdPluginProcessor> processor(tdPluginInit(TAG, {{"conf_filename", host.path}}));
    auto *plugin = dynamic_cast<tfaPlugin *>(processor.get());
    if (plugin == nullptr)
        abort();
    // The worker survives whatever a load throws (a criteria's plain string among it) and
    // describes it; so must this.
    try {
        plugin->Reload();
    } catch (...) {
        tfaExceptionText();
    }
    return 0;
}
