#include "encoding/flow_encode.hpp"
#include "host/exception.hpp"
#include "host/global_config.hpp"
#include "agent/sink_output.hpp"
#include "rules/action.hpp"
#include "support/capture.hpp"
#include "targets/sink.hpp"

#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>

namespace
{
using Event = tdPluginProcessor::Event;

const std::string DEFAULT_LINE = "t: Flow events not set, enabling new flow events by default.\n";

struct Dispatched {
    std::string sink;
    std::set<std::string> channels;
    json payload;
    uint8_t flags;
};

std::unique_ptr<tfaTargetSink> Create(const json &target_config, const json &type_config)
{
    return std::unique_ptr<tfaTargetSink>(tfaTargetSink::Create("t", target_config, type_config));
}

std::shared_ptr<tdFlow> MakeFlow(uint8_t ip_protocol)
{
    auto flow = std::make_shared<tdFlow>();
    flow->digest = 0x42;
    flow->ip_version = 4;
    flow->ip_protocol = ip_protocol;
    tdAddr::Create(flow->lower_addr, "192.168.1.10");
    tdAddr::Create(flow->upper_addr, "198.51.100.1");
    flow->iface_name = "eth0";
    flow->iface_role = tdFlow::ROLE_LAN;
    flow->detected_protocol_name = "HTTP";
    flow->stats.total_packets = 3;
    return flow;
}

class SinkTarget : public ::testing::Test
{
protected:
    SinkTarget()
    {
        tdPlugin::SetSinkHandler([this](const std::string &sink,
                                        const std::set<std::string> &channels, json &payload,
                                        tdFlags<tdPlugin::DispatchFlags> flags) {
            dispatched.push_back({sink, channels, payload, flags.GetBits()});
        });
    }
    ~SinkTarget() override { tdPlugin::SetSinkHandler(nullptr); }

    tfaAction MakeAction(const json &tags)
    {
        return tfaAction(nullptr, "block-video", 0, "", {}, {}, no_targets, tags, {}, false);
    }

    std::unique_ptr<tdGlobalConfig> config = std::make_unique<tdGlobalConfig>();
    std::unordered_map<std::string, tfaTarget *> no_targets;
    std::vector<Dispatched> dispatched;
};

TEST_F(SinkTarget, CreateReadsKeys)
{
    struct Row {
        const char *name;
        json type_config;
        json target_config;
        const char *sink;
        const char *channel;
        uint8_t flags;
        uint8_t events;
        bool default_line;
    };
    const Row rows[] = {
        {"nothing set", nullptr, json::object(), "", "", 0x01, 0x01, true},
        {"sink and channel",
         nullptr,
         {{"sink", "s"}, {"channel", "c"}},
         "s",
         "c",
         0x01,
         0x01,
         true},
        {"channel from the type defaults",
         {{"channel", "typed"}},
         {{"sink", "s"}},
         "s",
         "typed",
         0x01,
         0x01,
         true},
        {"target channel wins",
         {{"channel", "typed"}},
         {{"channel", "own"}},
         "",
         "own",
         0x01,
         0x01,
         true},
        {"type defaults that are no object", json::array({1}), json::object(), "", "", 0x01, 0x01,
         true},
        {"spaces around tokens",
         nullptr,
         {{"flow_events", "new | updated"}},
         "",
         "",
         0x01,
         0x03,
         false},
        {"tokens are case-sensitive", nullptr, {{"flow_events", "NEW"}}, "", "", 0x01, 0x01, true},
        {"unknown token ignored",
         nullptr,
         {{"flow_events", "completed|bogus"}},
         "",
         "",
         0x01,
         0x04,
         false},
        {"all after a token", nullptr, {{"flow_events", "expired|all"}}, "", "", 0x01, 0x0f, false},
        {"token after all", nullptr, {{"flow_events", "all|new"}}, "", "", 0x01, 0x0f, false},
        {"only empty pieces", nullptr, {{"flow_events", "| |"}}, "", "", 0x01, 0x01, true},
        {"flow events from the type defaults",
         {{"flow_events", "expired"}},
         json::object(),
         "",
         "",
         0x01,
         0x08,
         false},
        {"format json", nullptr, {{"format", "json"}}, "", "", 0x01, 0x01, true},
        {"format JSON", nullptr, {{"format", "JSON"}}, "", "", 0x01, 0x01, true},
        {"format Object", nullptr, {{"format", "Object"}}, "", "", 0x01, 0x01, true},
        {"format object", nullptr, {{"format", "object"}}, "", "", 0x02, 0x01, true},
        {"format msgpack", nullptr, {{"format", "msgpack"}}, "", "", 0x04, 0x01, true},
        {"compressor gzip", nullptr, {{"compressor", "gzip"}}, "", "", 0x01, 0x01, true},
        {"compressor gz", nullptr, {{"compressor", "gz"}}, "", "", 0x21, 0x01, true},
        {"header true", nullptr, {{"header", true}}, "", "", 0x19, 0x01, true},
        {"header from the type defaults",
         {{"header", true}},
         json::object(),
         "",
         "",
         0x19,
         0x01,
         true},
        {"target header false cancels",
         {{"header", true}},
         {{"header", false}},
         "",
         "",
         0x01,
         0x01,
         true},
        {"everything",
         {{"format", "msgpack"}, {"compressor", "gz"}},
         {{"header", true}, {"flow_events", "new|expired"}},
         "",
         "",
         0x3c,
         0x09,
         false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        LogCapture capture;
        auto target = Create(row.target_config, row.type_config);
        EXPECT_EQ(target->GetType(), tfaTarget::TT_SINK);
        EXPECT_EQ(target->GetName(), "t");
        EXPECT_EQ(target->GetFlags(), 0u);
        EXPECT_EQ(target->GetSink(), row.sink);
        EXPECT_EQ(target->GetChannel(), row.channel);
        EXPECT_EQ(target->GetDispatchFlags().GetBits(), row.flags);
        EXPECT_EQ(target->GetFlowEvents(), row.events);
        EXPECT_EQ(capture.LogLines(), row.default_line ? std::vector<std::string>{DEFAULT_LINE}
                                                       : std::vector<std::string>{});
    }
}

TEST_F(SinkTarget, CreateRejectsWrongTypes)
{
    struct Row {
        const char *name;
        json type_config;
        json target_config;
        const char *message;
    };
    const Row rows[] = {
        {"numeric header", nullptr, {{"header", 1}}, "t: invalid bool parameter type: header"},
        {"string header", {{"header", "true"}}, nullptr, "t: invalid bool parameter type: header"},
        {"numeric channel", nullptr, {{"channel", 5}}, "t: invalid string parameter type: channel"},
        {"null sink", nullptr, {{"sink", nullptr}}, "t: invalid string parameter type: sink"},
        {"array flow events",
         nullptr,
         {{"flow_events", {"new"}}},
         "t: invalid string parameter type: flow_events"},
        {"keys are read in order",
         {{"header", 1}},
         {{"compressor", 3}},
         "t: invalid string parameter type: compressor"},
        {"the type default is read first",
         {{"format", 1}},
         {{"format", "object"}},
         "t: invalid string parameter type: format"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        try {
            Create(row.target_config, row.type_config);
            ADD_FAILURE() << "no exception";
        } catch (const tdException &e) {
            EXPECT_STREQ(e.what(), row.message);
        }
    }
}

TEST_F(SinkTarget, EventSelection)
{
    struct Row {
        const char *name;
        Event event;
        uint8_t mask;
        uint8_t ip_protocol;
        bool tcp_closed;
        const char *type; // null: not forwarded
        const char *reason;
    };
    const Row rows[] = {
        {"expired UDP", tdPluginProcessor::EVENT_FLOW_EXPIRED, 0x08, IPPROTO_UDP, true,
         "flow_purge", "expired"},
        {"expired TCP, closed", tdPluginProcessor::EVENT_FLOW_EXPIRED, 0x08, IPPROTO_TCP, true,
         "flow_purge", "closed"},
        {"expired TCP, timed out", tdPluginProcessor::EVENT_FLOW_EXPIRED, 0x0f, IPPROTO_TCP, false,
         "flow_purge", "expired"},
        {"expired not selected", tdPluginProcessor::EVENT_FLOW_EXPIRED, 0x07, IPPROTO_TCP, true,
         nullptr, nullptr},
        {"intel whatever the mask", tdPluginProcessor::EVENT_FLOW_INTEL, 0x01, IPPROTO_TCP, false,
         "flow_intel", nullptr},
        {"new", tdPluginProcessor::EVENT_DPI_NEW, 0x01, IPPROTO_TCP, false, "flow", nullptr},
        {"new not selected", tdPluginProcessor::EVENT_DPI_NEW, 0x0e, IPPROTO_TCP, false, nullptr,
         nullptr},
        {"update", tdPluginProcessor::EVENT_DPI_UPDATE, 0x02, IPPROTO_TCP, false, "flow_update",
         nullptr},
        {"update not selected", tdPluginProcessor::EVENT_DPI_UPDATE, 0x0d, IPPROTO_TCP, false,
         nullptr, nullptr},
        {"complete", tdPluginProcessor::EVENT_DPI_COMPLETE, 0x04, IPPROTO_TCP, false,
         "flow_dpi_complete", nullptr},
        {"complete not selected", tdPluginProcessor::EVENT_DPI_COMPLETE, 0x0b, IPPROTO_TCP, false,
         nullptr, nullptr},
        {"flow_new never", tdPluginProcessor::EVENT_FLOW_NEW, 0x0f, IPPROTO_TCP, false, nullptr,
         nullptr},
        {"flow_expiring never", tdPluginProcessor::EVENT_FLOW_EXPIRING, 0x0f, IPPROTO_TCP, false,
         nullptr, nullptr},
        {"other kinds never", tdPluginProcessor::EVENT_UPDATE, 0x0f, IPPROTO_TCP, false, nullptr,
         nullptr},
    };
    const tfaAction action = MakeAction(json::object());
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        dispatched.clear();
        tfaTargetSink target("t", "s", "c", tdPlugin::DF_FORMAT_JSON, row.mask);
        auto flow = MakeFlow(row.ip_protocol);
        flow->tcp_closed = row.tcp_closed;
        const bool forwarded = target.ProcessFlow(action, row.event, flow);
        EXPECT_EQ(forwarded, row.type != nullptr);
        ASSERT_EQ(dispatched.size(), forwarded ? 1u : 0u);
        if (!forwarded)
            continue;
        const json &payload = dispatched[0].payload;
        EXPECT_EQ(payload["type"], row.type);
        EXPECT_EQ(payload.value("reason", "(none)"), row.reason ? row.reason : "(none)");
    }
}

TEST_F(SinkTarget, PayloadAndDispatchArguments)
{
    struct Row {
        const char *name;
        json tags;
        uint8_t role;
        const char *channel;
        json expected_tags;
        bool internal;
    };
    const Row rows[] = {
        {"tags, LAN",
         {{"class", "video"}, {"n", 1}},
         tdFlow::ROLE_LAN,
         "flows",
         {{"class", "video"}, {"n", 1}},
         true},
        {"no tags, WAN, empty channel", json::object(), tdFlow::ROLE_WAN, "", json::object(),
         false},
        {"null tags", nullptr, tdFlow::ROLE_NONE, "c", json::object(), false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        dispatched.clear();
        const auto flags = tdFlags<tdPlugin::DispatchFlags>(tdPlugin::DF_FORMAT_MSGPACK) |
                           tdPlugin::DF_COMPRESS_GZ;
        tfaTargetSink target("t", "events", row.channel, flags, tfaTargetSink::FE_COMPLETED);
        const tfaAction action = MakeAction(row.tags);
        auto flow = MakeFlow(IPPROTO_TCP);
        flow->iface_role = row.role;
        ASSERT_TRUE(target.ProcessFlow(action, tdPluginProcessor::EVENT_DPI_COMPLETE, flow));
        ASSERT_EQ(dispatched.size(), 1u);

        json encoded;
        flow->Encode(encoded, flow->stats,
                     tdFlags<tdFlow::EncodeFlags>(tdFlow::ENCODE_METADATA) |
                         tdFlow::ENCODE_TUNNELS | tdFlow::ENCODE_STATS);
        const json expected = {{"type", "flow_dpi_complete"}, {"flow_action", "block-video"},
                               {"tags", row.expected_tags},   {"interface", "eth0"},
                               {"internal", row.internal},    {"flow", encoded}};
        EXPECT_EQ(dispatched[0].payload, expected);
        EXPECT_EQ(dispatched[0].sink, "events");
        EXPECT_EQ(dispatched[0].channels, std::set<std::string>{row.channel});
        EXPECT_EQ(dispatched[0].flags, 0x24);
        // The encoded flow carries all three groups.
        EXPECT_TRUE(encoded.contains("local_ip"));
        EXPECT_EQ(encoded["total_packets"], 3);
        EXPECT_TRUE(encoded.contains("tcp"));
    }
    EXPECT_EQ(MakeFlow(IPPROTO_TCP).use_count(), 1);
}

// The target keeps one channel set for all its payloads; each dispatch must still name it whole.
TEST_F(SinkTarget, EveryPayloadCarriesTheTargetsChannel)
{
    tfaTargetSink target("t", "s", "flows", tdPlugin::DF_FORMAT_JSON, tfaTargetSink::FE_ALL);
    const tfaAction action = MakeAction(json::object());
    const Event events[] = {tdPluginProcessor::EVENT_DPI_NEW, tdPluginProcessor::EVENT_FLOW_INTEL,
                            tdPluginProcessor::EVENT_DPI_COMPLETE};
    for (Event event : events) {
        auto flow = MakeFlow(IPPROTO_UDP);
        ASSERT_TRUE(target.ProcessFlow(action, event, flow));
    }
    ASSERT_EQ(dispatched.size(), std::size(events));
    for (const auto &call : dispatched)
        EXPECT_EQ(call.channels, std::set<std::string>{"flows"});
}

TEST_F(SinkTarget, InvalidUtf8IsDeliveredReplaced)
{
    tdSinkOutput::Registry registry;
    auto output = tdSinkOutput::Memory("events");
    registry.Add(output);
    registry.Install();

    auto target = Create({{"sink", "events"}, {"flow_events", "all"}}, nullptr);
    auto flow = MakeFlow(IPPROTO_TCP);
    flow->user_agent = "Mozilla\xc3\x28/5.0";
    const tfaAction action = MakeAction(json::object());
    EXPECT_NO_THROW(target->ProcessFlow(action, tdPluginProcessor::EVENT_DPI_NEW, flow));

    EXPECT_EQ(output->GetPayloads(), 1u);
    EXPECT_EQ(output->GetFailures(), 0u);
    const json line = json::parse(output->GetBytes());
    EXPECT_EQ(line["flow"]["http"]["user_agent"], "Mozilla\xef\xbf\xbd(/5.0");
}

TEST_F(SinkTarget, EncodingFailurePassesThroughAndSendsNothing)
{
    tfaTargetSink target("t", "s", "c", tdPlugin::DF_FORMAT_JSON, tfaTargetSink::FE_ALL);
    const tfaAction action = MakeAction(json::object());
    auto flow = MakeFlow(IPPROTO_TCP);
    config.reset();
    EXPECT_THROW(target.ProcessFlow(action, tdPluginProcessor::EVENT_DPI_NEW, flow), tdException);
    EXPECT_TRUE(dispatched.empty());
}
} // namespace
