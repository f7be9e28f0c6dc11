// The exported interface, exercised the way a host uses it: through dlopen.
#include <cstring>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <memory>

#include "host/exception.hpp"
#include "tools/common/plugin_loader.hpp"
#include "support/capture.hpp"

namespace {
const char *plugin_path = TFA_PLUGIN_PATH;

TEST(PluginEntry, AbiRecordBytes)
{
    void *handle = dlopen(plugin_path, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    auto abi = static_cast<const unsigned char *>(dlsym(handle, "td_plugin_abi"));
    ASSERT_NE(abi, nullptr);
    const unsigned char expected[32] = {
        'B',  'A',  'P',  'T',  0x20, 0x00, 0x00, 0x00, 0x0f, 0x00, 0x00,
        0x00, 0x09, 0x03, 0x23, 0x20, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x60, 0x0b, 0x00, 0x00, 0x48, 0x00, 0x00, 0x00,
    };
    EXPECT_EQ(memcmp(abi, expected, sizeof(expected)), 0);
    EXPECT_NE(dlsym(handle, "tdPluginInit"), nullptr);
    // Only the two host-facing symbols are exported.
    EXPECT_EQ(dlsym(handle, "_ZN9tfaPlugin6parserE"), nullptr);
    dlclose(handle);
}

TEST(PluginEntry, LoaderReadsFields)
{
    tdPluginLoader loader(plugin_path);
    EXPECT_EQ(loader.GetABIField(tdPluginABI::OFFSET_LENGTH), 32u);
    EXPECT_EQ(loader.GetABIField(tdPluginABI::OFFSET_HOST_VERSION), 15u);
    EXPECT_EQ(loader.GetABIField(tdPluginABI::OFFSET_API_DATE), 0x20230309u);
    EXPECT_EQ(loader.GetABIField(tdPluginABI::OFFSET_COMPAT + 8), 2912u);
}

TEST(PluginEntry, MissingLibraryNamesIt)
{
    try {
        tdPluginLoader loader("/nonexistent/libnothing.so");
        FAIL() << "loaded a missing library";
    } catch (const tdException &e) {
        EXPECT_EQ(std::string(e.what()).rfind("/nonexistent/libnothing.so: dlopen: ", 0), 0u)
            << e.what();
    }
}

TEST(PluginEntry, IdentificationStrings)
{
    tdPluginLoader loader(plugin_path);
    std::unique_ptr<tdPluginProcessor> plugin(loader.Init("fa0", {}));
    ASSERT_TRUE(plugin);
    std::string name, version, library;
    plugin->GetName(name);
    plugin->GetVersion(version);
    plugin->GetLibrary(library);
    EXPECT_EQ(name, "Tarvix Flow Actions Processor Plugin");
    EXPECT_EQ(version, "1.2.15");
    EXPECT_EQ(library, "tarvix-proc-flow-actions");
}

TEST(PluginEntry, PluginTypes)
{
    struct Row {
        const char *type;
        bool accepted;
    };
    const Row rows[] = {{"0", false}, {"1", true}, {"2", true}, {"3", false}};
    tdPluginLoader loader(plugin_path);
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string("type ") + row.type);
        LogCapture capture;
        std::unique_ptr<tdPluginProcessor> plugin(loader.Init("fa0", {{"plugin_type", row.type}}));
        EXPECT_EQ(plugin != nullptr, row.accepted);
        bool refused = capture.Contains(std::string("Invalid plugin type: fa0 [") + row.type + "]\n");
        EXPECT_EQ(refused, !row.accepted);
        // A refused object is destroyed on the way out.
        EXPECT_EQ(capture.Contains("fa0: destroyed\n"), !row.accepted);
    }
}

TEST(PluginEntry, DestroyWithoutConfiguration)
{
    tdPluginLoader loader(plugin_path);
    LogCapture capture;
    delete loader.Init("fa1", {});
    auto lines = capture.DebugLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "fa1: Unloaded configuration.\n");
    EXPECT_EQ(lines.back(), "fa1: destroyed\n");
}
} // namespace
