#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "host/flags.hpp"
#include "host/json.hpp"
#include "host/thread.hpp"

class tdFlow;
class tdFlowMap;
class tdInterface;
struct tdPacketStats;
struct tdInstanceStatus;

// The record a plug-in library exports as `td_plugin_abi`: 32 bytes, integers little-endian.
// The host refuses a library whose magic, length or host interface version differ from its own.
namespace tdPluginABI {
inline constexpr size_t SIZE = 32;
inline constexpr char MAGIC[4] = {'B', 'A', 'P', 'T'};
inline constexpr uint32_t HOST_VERSION = 15;
inline constexpr size_t OFFSET_LENGTH = 4;
inline constexpr size_t OFFSET_HOST_VERSION = 8;
inline constexpr size_t OFFSET_API_DATE = 12;
inline constexpr size_t OFFSET_COMPAT = 16;
} // namespace tdPluginABI

// Base of every plug-in. The host constructs a plug-in through its library's entry, starts its
// thread with Create(), calls the virtual operations from its own threads, and stops it with
// Terminate() before destroying it.
class tdPlugin : public tdThread
{
public:
    using Params = std::map<std::string, std::string>;

    enum Type : uint8_t {
        TYPE_BASE = 0,
        TYPE_PROCESSOR = 1,
        TYPE_PROCESSOR_STATS = 2,
        TYPE_SINK = 3,
    };

    enum Event : uint32_t {
        EVENT_RELOAD = 0,
    };

    enum class DispatchFlags : uint8_t {
        NONE = 0x00,
        FORMAT_JSON = 0x01,
        FORMAT_OBJECT = 0x02,
        FORMAT_MSGPACK = 0x04,
        HEADER = 0x18,
        COMPRESS_GZ = 0x20,
    };
    static constexpr DispatchFlags DF_FORMAT_JSON = DispatchFlags::FORMAT_JSON;
    static constexpr DispatchFlags DF_FORMAT_OBJECT = DispatchFlags::FORMAT_OBJECT;
    static constexpr DispatchFlags DF_FORMAT_MSGPACK = DispatchFlags::FORMAT_MSGPACK;
    static constexpr DispatchFlags DF_HEADER = DispatchFlags::HEADER;
    static constexpr DispatchFlags DF_COMPRESS_GZ = DispatchFlags::COMPRESS_GZ;

    // The parameter "plugin_type", when present, sets the type byte instead of `type`: the
    // stand-in's way for tests to present a plug-in of another kind.
    tdPlugin(const std::string &tag, Type type, const Params &params);

    virtual void GetLibrary(std::string &library) = 0;
    virtual void GetName(std::string &name) = 0;
    virtual void GetVersion(std::string &version) = 0;
    virtual void GetStatus(json &status) {}
    virtual void DisplayStatus(const json &status) {}
    virtual void DispatchEvent(Event event, void *data = nullptr) {}

    // Hands a payload to the host's sink `sink` on `channels`, rendered as `flags` ask.
    static void DispatchSinkPayload(const std::string &sink, const std::set<std::string> &channels,
                                    json &payload, tdFlags<DispatchFlags> flags);

    // Where DispatchSinkPayload delivers; the replay host and tests install one. Without a
    // handler payloads are dropped.
    using SinkHandler = std::function<void(const std::string &sink,
                                           const std::set<std::string> &channels, json &payload,
                                           tdFlags<DispatchFlags> flags)>;
    static void SetSinkHandler(SinkHandler handler);

    Type GetType() const { return type; }

protected:
    Type type;
    Params params;
};

class tdPluginProcessor : public tdPlugin
{
public:
    enum Event : uint16_t {
        EVENT_NONE = 0,
        EVENT_FLOW_MAP = 1,
        EVENT_FLOW_NEW = 2,
        EVENT_FLOW_EXPIRING = 3,
        EVENT_FLOW_EXPIRED = 4,
        EVENT_FLOW_INTEL = 5,
        EVENT_DPI_NEW = 6,
        EVENT_DPI_UPDATE = 7,
        EVENT_DPI_COMPLETE = 8,
        EVENT_INTERFACES = 9,
        EVENT_PACKET_STATS = 10,
        EVENT_PACKET_GLOBAL_STATS = 11,
        EVENT_INSTANCE_STATUS = 12,
        EVENT_UPDATE = 13,
    };

    using Interfaces = std::map<std::string, std::shared_ptr<tdInterface>>;

    // The configuration file path is the parameter "conf_filename".
    tdPluginProcessor(const std::string &tag, const Params &params);

    virtual void DispatchProcessorEvent(Event event, tdFlowMap *flow_map) {}
    virtual void DispatchProcessorEvent(Event event, std::shared_ptr<tdFlow> &flow) {}
    virtual void DispatchProcessorEvent(Event event, std::shared_ptr<tdFlow> &flow, json &data) {}
    virtual void DispatchProcessorEvent(Event event, Interfaces *interfaces) {}
    virtual void DispatchProcessorEvent(Event event, const std::string &iface, tdPacketStats *stats) {}
    virtual void DispatchProcessorEvent(Event event, tdPacketStats *stats) {}
    virtual void DispatchProcessorEvent(Event event, tdInstanceStatus *status) {}
    virtual void DispatchProcessorEvent(Event event) {}

protected:
    std::string conf_filename;
};

// The two symbols a plug-in library exports.
extern "C" {
extern const unsigned char td_plugin_abi[tdPluginABI::SIZE];
tdPluginProcessor *tdPluginInit(const std::string &tag, const tdPlugin::Params &params);
}
using tdPluginInitFunc = tdPluginProcessor *(*)(const std::string &, const tdPlugin::Params &);
