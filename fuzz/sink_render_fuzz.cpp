// Renders an arbitrary JSON payload under every combination of the dispatch flags and reads each
// rendering back: the length header must count the body, a gzip body must inflate, and the JSON
// and MessagePack bodies must decode to the payload.

#include "agent/sink_output.hpp"
#include "encoding/json_depth.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <zlib.h>

namespace
{
using Flags = tdFlags<tdPlugin::DispatchFlags>;

// Payloads come from flow records, which nest a few levels; the scan keeps the harness from
// testing the stack instead of the renderer.
constexpr size_t DEPTH_LIMIT = 64;
constexpr int GUNZIP_WINDOW_BITS = 15 + 32;

void Check(bool condition)
{
    if (!condition)
        abort();
}

std::string Gunzip(const std::string &member)
{
    z_stream zs{};
    Check(inflateInit2(&zs, GUNZIP_WINDOW_BITS) == Z_OK);
    std::string out;
    char buffer[4096];
    zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(member.data()));
    zs.avail_in = static_cast<uInt>(member.size());
    int result;
    do {
        zs.next_out = reinterpret_cast<Bytef *>(buffer);
        zs.avail_out = sizeof(buffer);
        result = inflate(&zs, Z_NO_FLUSH);
        Check(result == Z_OK || result == Z_STREAM_END);
        out.append(buffer, sizeof(buffer) - zs.avail_out);
    } while (result != Z_STREAM_END);
    Check(zs.avail_in == 0);
    inflateEnd(&zs);
    return out;
}

std::string StripHeader(const std::string &bytes)
{
    Check(bytes.size() >= tdSinkOutput::HEADER_SIZE);
    size_t length = 0;
    for (size_t i = 0; i < tdSinkOutput::HEADER_SIZE; i++)
        length = length << 8 | static_cast<uint8_t>(bytes[i]);
    Check(length == bytes.size() - tdSinkOutput::HEADER_SIZE);
    return bytes.substr(tdSinkOutput::HEADER_SIZE);
}

void RoundTrip(const json &payload, Flags flags)
{
    std::string body = tdSinkOutput::Render(payload, flags);
    if (flags.Has(tdPlugin::DF_HEADER))
        body = StripHeader(body);
    if (flags.Has(tdPlugin::DF_COMPRESS_GZ))
        body = Gunzip(body);
    if (flags.Has(tdPlugin::DF_FORMAT_MSGPACK)) {
        Check(json::from_msgpack(body) == payload);
        return;
    }
    // Equal as values: "-0" reads back as an unsigned 0, and numbers compare across kinds.
    Check(!body.empty() && body.back() == '\n');
    Check(json::parse(body) == payload);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    if (tfaJsonTooDeep(text, DEPTH_LIMIT) != std::string_view::npos)
        return 0;
    json payload = json::parse(text, nullptr, false);
    if (payload.is_discarded())
        return 0;
    for (tdPlugin::DispatchFlags format : {tdPlugin::DF_FORMAT_JSON, tdPlugin::DF_FORMAT_MSGPACK})
        for (Flags extra : {Flags(), Flags(tdPlugin::DF_HEADER), Flags(tdPlugin::DF_COMPRESS_GZ),
                            Flags(tdPlugin::DF_HEADER) | Flags(tdPlugin::DF_COMPRESS_GZ)})
            RoundTrip(payload, Flags(format) | extra);
    Check(tdSinkOutput::Render(payload, tdPlugin::DF_FORMAT_OBJECT).empty());
    return 0;
}
