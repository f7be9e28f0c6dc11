#include "agent/sink_output.hpp"
#include "host/exception.hpp"
#include "support/capture.hpp"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>
#include <unistd.h>
#include <zlib.h>

namespace
{
using Flags = tdFlags<tdPlugin::DispatchFlags>;

const json PAYLOAD = json::parse(R"({"type": "flow", "flow_action": "a", "tags": {},
    "interface": "eth0", "internal": true, "flow": {"digest": "0000000000000001"}})");
const std::string REPLACEMENT = "\xef\xbf\xbd"; // U+FFFD

Flags With(tdPlugin::DispatchFlags format, uint8_t extra = 0)
{
    return Flags::FromBits(static_cast<uint8_t>(Flags(format).GetBits() | extra));
}

// Inflates every gzip member of `data` in turn; fails the test on a bad stream.
std::string Gunzip(const std::string &data)
{
    std::string out;
    size_t offset = 0;
    while (offset < data.size()) {
        z_stream zs{};
        EXPECT_EQ(inflateInit2(&zs, 15 + 16), Z_OK);
        zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data() + offset));
        zs.avail_in = static_cast<uInt>(data.size() - offset);
        int result;
        do {
            char buffer[256];
            zs.next_out = reinterpret_cast<Bytef *>(buffer);
            zs.avail_out = sizeof(buffer);
            result = inflate(&zs, Z_NO_FLUSH);
            out.append(buffer, sizeof(buffer) - zs.avail_out);
        } while (result == Z_OK);
        EXPECT_EQ(result, Z_STREAM_END);
        offset += zs.total_in;
        inflateEnd(&zs);
        if (result != Z_STREAM_END)
            break;
    }
    return out;
}

uint32_t HeaderLength(const std::string &bytes)
{
    uint32_t length = 0;
    for (size_t i = 0; i < tdSinkOutput::HEADER_SIZE; i++)
        length = length << 8 | static_cast<uint8_t>(bytes[i]);
    return length;
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(SinkOutput, Renderings)
{
    struct Row {
        const char *name;
        Flags flags;
        // Turns the rendered bytes back into a payload.
        std::function<json(const std::string &)> decode;
    };
    const auto body = [](const std::string &bytes) {
        return bytes.substr(tdSinkOutput::HEADER_SIZE);
    };
    const auto json_line = [](const std::string &text) {
        EXPECT_EQ(text.find('\n'), text.size() - 1) << "one line, ending with a newline";
        return json::parse(text);
    };
    const auto msgpack = [](const std::string &bytes) { return json::from_msgpack(bytes); };
    const Row rows[] = {
        {"json", tdPlugin::DF_FORMAT_JSON, json_line},
        {"msgpack", tdPlugin::DF_FORMAT_MSGPACK, msgpack},
        {"json gz", With(tdPlugin::DF_FORMAT_JSON, 0x20),
         [&](const std::string &b) { return json_line(Gunzip(b)); }},
        {"msgpack gz", With(tdPlugin::DF_FORMAT_MSGPACK, 0x20),
         [&](const std::string &b) { return msgpack(Gunzip(b)); }},
        {"json header", With(tdPlugin::DF_FORMAT_JSON, 0x18),
         [&](const std::string &b) { return json_line(body(b)); }},
        {"msgpack header gz", With(tdPlugin::DF_FORMAT_MSGPACK, 0x38),
         [&](const std::string &b) { return msgpack(Gunzip(body(b))); }},
        {"one header bit is enough", With(tdPlugin::DF_FORMAT_JSON, 0x08),
         [&](const std::string &b) { return json_line(body(b)); }},
        {"no format bit renders JSON", Flags(), json_line},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const std::string bytes = tdSinkOutput::Render(PAYLOAD, row.flags);
        if (row.flags.Has(tdPlugin::DF_HEADER)) {
            ASSERT_GE(bytes.size(), tdSinkOutput::HEADER_SIZE);
            EXPECT_EQ(HeaderLength(bytes), bytes.size() - tdSinkOutput::HEADER_SIZE);
        }
        EXPECT_EQ(row.decode(bytes), PAYLOAD);
    }
}

// Found by the renderer's fuzz target: numbers whose kind changes on the way (a signed zero
// reads back unsigned, a float keeps its sign) must still read back as the same values.
TEST(SinkOutput, NumbersReadBackAsTheSameValues)
{
    for (const char *text : {"-0", "[-0, -0.0, 1.0, 18446744073709551615, -9223372036854775808]"}) {
        SCOPED_TRACE(text);
        const json payload = json::parse(text);
        EXPECT_EQ(json::parse(tdSinkOutput::Render(payload, tdPlugin::DF_FORMAT_JSON)), payload);
        EXPECT_EQ(json::from_msgpack(tdSinkOutput::Render(payload, tdPlugin::DF_FORMAT_MSGPACK)),
                  payload);
    }
}

TEST(SinkOutput, HeaderIsBigEndian)
{
    json payload = {{"k", std::string(300, 'x')}};
    const std::string bytes = tdSinkOutput::Render(payload, With(tdPlugin::DF_FORMAT_JSON, 0x18));
    const std::string text = payload.dump() + "\n";
    ASSERT_EQ(bytes.size(), 4 + text.size());
    EXPECT_EQ(bytes.substr(0, 4), std::string("\0\0\x01\x35", 4)); // 309 bytes
    EXPECT_EQ(bytes.substr(4), text);
}

TEST(SinkOutput, InvalidUtf8IsReplacedNotThrown)
{
    const json payload = {{"flow", {{"http", {{"user_agent", "bad\xff\xfe end"}}}}}};
    const std::string text = tdSinkOutput::Render(payload, tdPlugin::DF_FORMAT_JSON);
    EXPECT_EQ(json::parse(text)["flow"]["http"]["user_agent"],
              "bad" + REPLACEMENT + REPLACEMENT + " end");

    // MessagePack carries the bytes as they are.
    const std::string packed = tdSinkOutput::Render(payload, tdPlugin::DF_FORMAT_MSGPACK);
    EXPECT_EQ(json::from_msgpack(packed)["flow"]["http"]["user_agent"], "bad\xff\xfe end");

    auto output = tdSinkOutput::Memory("s");
    output->Deliver(payload, With(tdPlugin::DF_FORMAT_JSON, 0x38));
    EXPECT_EQ(output->GetFailures(), 0u);
    EXPECT_EQ(output->GetPayloads(), 1u);
}

TEST(SinkOutput, ObjectsAreKeptNotWritten)
{
    auto output = tdSinkOutput::Memory("s");
    output->Deliver(PAYLOAD, With(tdPlugin::DF_FORMAT_OBJECT, 0x38));
    output->Deliver(PAYLOAD, tdPlugin::DF_FORMAT_JSON);
    ASSERT_EQ(output->GetObjects().size(), 1u);
    EXPECT_EQ(output->GetObjects()[0], PAYLOAD);
    EXPECT_EQ(output->GetBytes(), PAYLOAD.dump() + "\n");
    EXPECT_EQ(output->GetPayloads(), 2u);
    EXPECT_EQ(output->GetBytesWritten(), PAYLOAD.dump().size() + 1);
}

TEST(SinkOutput, GzipMembersConcatenate)
{
    auto output = tdSinkOutput::Memory("s");
    json second = PAYLOAD;
    second["type"] = "flow_update";
    output->Deliver(PAYLOAD, With(tdPlugin::DF_FORMAT_JSON, 0x20));
    output->Deliver(second, With(tdPlugin::DF_FORMAT_JSON, 0x20));
    EXPECT_EQ(Gunzip(output->GetBytes()), PAYLOAD.dump() + "\n" + second.dump() + "\n");
}

TEST(SinkOutput, FileOutput)
{
    char path[] = "/tmp/sink_output_test.XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        auto output = tdSinkOutput::Open("s", path);
        EXPECT_EQ(output->GetPath(), path);
        output->Deliver(PAYLOAD, tdPlugin::DF_FORMAT_JSON);
        output->Deliver(PAYLOAD, tdPlugin::DF_FORMAT_JSON);
        // Each payload is flushed as it is written.
        EXPECT_EQ(ReadFile(path), PAYLOAD.dump() + "\n" + PAYLOAD.dump() + "\n");
    }
    unlink(path);
}

TEST(SinkOutput, OpenFailureNamesSinkAndPath)
{
    try {
        tdSinkOutput::Open("events", "/nonexistent/dir/out.json");
        FAIL() << "no exception";
    } catch (const tdException &e) {
        EXPECT_STREQ(e.what(), "events: /nonexistent/dir/out.json: No such file or directory");
    }
}

TEST(SinkOutput, WriteFailureIsReportedOnceAndCounted)
{
    LogCapture capture;
    auto output = tdSinkOutput::Open("full", "/dev/full");
    output->Deliver(PAYLOAD, tdPlugin::DF_FORMAT_JSON);
    output->Deliver(PAYLOAD, tdPlugin::DF_FORMAT_JSON);
    EXPECT_EQ(output->GetPayloads(), 2u);
    EXPECT_EQ(output->GetFailures(), 2u);
    EXPECT_EQ(capture.LogLines(),
              std::vector<std::string>{"full: /dev/full: No space left on device: records are "
                                       "lost until it clears\n"});
    EXPECT_EQ(output->GetLosses(),
              (std::map<std::string, uint64_t>{{"No space left on device", 2}}));
}

TEST(SinkOutputRegistry, DeliversByNameAndCountsUnknown)
{
    LogCapture capture;
    tdSinkOutput::Registry registry;
    registry.Add(tdSinkOutput::Memory("events"));
    registry.Install();

    json other = PAYLOAD;
    tdPlugin::DispatchSinkPayload("events", {"ch"}, other, tdPlugin::DF_FORMAT_OBJECT);
    for (int i = 0; i < 3; i++)
        tdPlugin::DispatchSinkPayload("nobody", {""}, other, tdPlugin::DF_FORMAT_JSON);
    tdPlugin::DispatchSinkPayload("", {""}, other, tdPlugin::DF_FORMAT_JSON);

    EXPECT_EQ(registry.Find("events")->GetObjects(), std::vector<json>{PAYLOAD});
    EXPECT_EQ(registry.Find("nobody"), nullptr);
    const std::map<std::string, uint64_t> unknown = {{"", 1}, {"nobody", 3}};
    EXPECT_EQ(registry.GetUnknown(), unknown);
    EXPECT_EQ(capture.LogLines(), (std::vector<std::string>{
                                      "tdSinkOutput: unknown sink \"nobody\": payloads dropped.\n",
                                      "tdSinkOutput: unknown sink \"\": payloads dropped.\n"}));
}

TEST(SinkOutputRegistry, AddReplacesAndListsByName)
{
    tdSinkOutput::Registry registry;
    auto first = tdSinkOutput::Memory("b");
    auto second = tdSinkOutput::Memory("b");
    registry.Add(first);
    registry.Add(tdSinkOutput::Memory("a"));
    registry.Add(second);
    auto outputs = registry.GetOutputs();
    ASSERT_EQ(outputs.size(), 2u);
    EXPECT_EQ(outputs[0]->GetSink(), "a");
    EXPECT_EQ(outputs[1], second);
}

TEST(SinkOutputRegistry, DestroyedRegistryIsUninstalled)
{
    auto output = tdSinkOutput::Memory("events");
    {
        tdSinkOutput::Registry registry;
        registry.Add(output);
        registry.Install();
    }
    json payload = PAYLOAD;
    tdPlugin::DispatchSinkPayload("events", {""}, payload, tdPlugin::DF_FORMAT_JSON);
    EXPECT_EQ(output->GetPayloads(), 0u);

    // A registry that was replaced leaves the newer one installed.
    tdSinkOutput::Registry newer;
    newer.Add(output);
    {
        tdSinkOutput::Registry older;
        older.Install();
        newer.Install();
    }
    tdPlugin::DispatchSinkPayload("events", {""}, payload, tdPlugin::DF_FORMAT_JSON);
    EXPECT_EQ(output->GetPayloads(), 1u);
}

TEST(SinkOutputRegistry, ConcurrentDeliveryKeepsFramesWhole)
{
    tdSinkOutput::Registry registry;
    auto output = tdSinkOutput::Memory("events");
    registry.Add(output);
    constexpr int THREADS = 4, PER_THREAD = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; t++)
        threads.emplace_back([&registry, t] {
            for (int i = 0; i < PER_THREAD; i++)
                registry.Dispatch("events", {""}, json{{"t", t}, {"i", i}},
                                  With(tdPlugin::DF_FORMAT_JSON, 0x38));
        });
    for (auto &thread : threads)
        thread.join();

    EXPECT_EQ(output->GetPayloads(), uint64_t(THREADS * PER_THREAD));
    const std::string bytes = output->GetBytes();
    std::vector<int> next(THREADS, 0); // each thread's payloads arrive in its own order
    size_t offset = 0;
    while (offset + tdSinkOutput::HEADER_SIZE <= bytes.size()) {
        const size_t length = HeaderLength(bytes.substr(offset));
        offset += tdSinkOutput::HEADER_SIZE;
        ASSERT_LE(offset + length, bytes.size());
        const json payload = json::parse(Gunzip(bytes.substr(offset, length)));
        offset += length;
        const int t = payload["t"];
        ASSERT_TRUE(t >= 0 && t < THREADS);
        EXPECT_EQ(payload["i"], next[t]++);
    }
    EXPECT_EQ(offset, bytes.size());
    EXPECT_EQ(next, std::vector<int>(THREADS, PER_THREAD));
}
} // namespace
