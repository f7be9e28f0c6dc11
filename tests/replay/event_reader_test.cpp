// Reading replay files: event kinds, flow identity, control lines and malformed lines.
#include "host/exception.hpp"
#include "support/capture.hpp"
#include "tools/replay/event_reader.hpp"

#include <gtest/gtest.h>
#include <sstream>

namespace
{
using Event = tdPluginProcessor::Event;

TEST(EventReader, LinesBecomeEvents)
{
    struct Row {
        const char *line;
        tfaReplayEvent::Kind kind;
        Event event;
        std::string iface;
        uint8_t role;
        bool complete;
        bool closed;
    };
    const Row rows[] = {
        {R"({"type": "flow", "interface": "em0", "internal": true, "flow": {}})",
         tfaReplayEvent::FLOW, tdPluginProcessor::EVENT_DPI_NEW, "em0", tdFlow::ROLE_LAN, false,
         false},
        {R"({"type": "flow_update", "interface": "em1", "internal": false, "flow": {}})",
         tfaReplayEvent::FLOW, tdPluginProcessor::EVENT_DPI_UPDATE, "em1", tdFlow::ROLE_WAN, false,
         false},
        {R"({"type": "flow_dpi_complete", "flow": {}})", tfaReplayEvent::FLOW,
         tdPluginProcessor::EVENT_DPI_COMPLETE, "", tdFlow::ROLE_NONE, true, false},
        {R"({"type": "flow_purge", "reason": "closed", "flow": {"ip_protocol": 6}})",
         tfaReplayEvent::FLOW, tdPluginProcessor::EVENT_FLOW_EXPIRED, "", tdFlow::ROLE_NONE, false,
         true},
        {R"({"type": "flow_purge", "reason": "expired", "flow": {}})", tfaReplayEvent::FLOW,
         tdPluginProcessor::EVENT_FLOW_EXPIRED, "", tdFlow::ROLE_NONE, false, false},
        {R"({"type": "flow_intel", "flow": {}, "flow_action": "a", "tags": {}})",
         tfaReplayEvent::FLOW, tdPluginProcessor::EVENT_FLOW_INTEL, "", tdFlow::ROLE_NONE, false,
         false},
        {R"({"type": "update"})", tfaReplayEvent::UPDATE, tdPluginProcessor::EVENT_NONE, "", 0,
         false, false},
        {R"({"type": "reload", "flow": 1})", tfaReplayEvent::RELOAD, tdPluginProcessor::EVENT_NONE,
         "", 0, false, false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.line);
        tfaReplayEvent event = tfaEventReader::Parse(row.line);
        EXPECT_EQ(event.kind, row.kind);
        EXPECT_EQ(event.event, row.event);
        if (event.kind != tfaReplayEvent::FLOW) {
            EXPECT_FALSE(event.flow);
            continue;
        }
        ASSERT_TRUE(event.flow);
        EXPECT_EQ(event.flow->iface_name, row.iface);
        EXPECT_EQ(event.flow->iface_role, row.role);
        EXPECT_EQ(event.flow->detection_complete, row.complete);
        EXPECT_EQ(event.flow->tcp_closed, row.closed);
        EXPECT_EQ(event.digest, event.flow->digest);
        EXPECT_NE(event.digest, 0u);
    }
}

TEST(EventReader, IntelDocument)
{
    auto event = tfaEventReader::Parse(
        R"({"type": "flow_intel", "flow": {}, "intel": {"score": 90, "feed": "x"}})");
    EXPECT_EQ(event.intel, json::parse(R"({"score": 90, "feed": "x"})"));
    event = tfaEventReader::Parse(R"({"type": "flow_intel", "flow": {}})");
    EXPECT_EQ(event.intel, json::object());
}

TEST(EventReader, FlowsMeetByDigestOrAddresses)
{
    auto digest = [](const std::string &flow) {
        return tfaEventReader::Parse(R"({"type": "flow", "flow": )" + flow + "}").digest;
    };
    const std::string tuple = R"({"ip_protocol": 6, "other_ip": "192.0.2.7", "other_port": 443})";
    EXPECT_EQ(digest(R"({"digest": "00000000000000ab"})"), 0xabu);
    EXPECT_EQ(digest(tuple), digest(R"({"other_port": 443, "ip_protocol": 6,
                                        "other_ip": "192.0.2.7", "last_seen_at": 9})"));
    EXPECT_NE(digest(tuple), digest(R"({"ip_protocol": 6, "other_ip": "192.0.2.8",
                                        "other_port": 443})"));
    // A digest wins over the addresses.
    EXPECT_EQ(digest(R"({"digest": "00000000000000ab", "ip_protocol": 17})"), 0xabu);
}

TEST(EventReader, MalformedLinesAreNamed)
{
    struct Row {
        const char *line;
        const char *message;
    };
    const Row rows[] = {
        {"{\"type\": \"flow\"",
         "invalid JSON: parse error at line 1, column 16: syntax error while parsing object - "
         "unexpected end of input; expected '}'"},
        {"[1, 2]", "not a JSON object: array"},
        {R"({"flow": {}})", "type: missing"},
        {R"({"type": 3})", "type: expected a string"},
        {R"({"type": "flow_new", "flow": {}})", "type: unknown event type: \"flow_new\""},
        {R"({"type": "flow"})", "flow: missing"},
        {R"({"type": "flow", "flow": []})", "flow: expected an object"},
        {R"({"type": "flow", "flow": {}, "internal": "yes"})", "internal: expected a boolean"},
        {R"({"type": "flow", "flow": {}, "interface": 0})", "interface: expected a string"},
        {R"({"type": "flow_purge", "flow": {}, "reason": "idle"})",
         "reason: expected \"closed\" or \"expired\": \"idle\""},
        {R"({"type": "flow", "flow": {}, "iface": "em0"})", "iface: unknown member"},
        {R"({"type": "flow", "flow": {"ip_protocol": -6}})",
         "flow.ip_protocol: expected an unsigned number up to 255: -6"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.line);
        try {
            tfaEventReader::Parse(row.line);
            ADD_FAILURE() << "accepted";
        } catch (const tdException &e) {
            EXPECT_EQ(std::string(e.what()), row.message);
        }
    }
}

TEST(EventReader, SkipsAndCountsMalformedLines)
{
    std::istringstream input("{\"type\": \"flow\", \"flow\": {}}\n"
                             "\n"
                             "not json\n"
                             "  \r\n"
                             "{\"type\": \"update\"}\r\n"
                             "{\"type\": \"flow\"}\n"
                             "{\"type\": \"reload\"}");
    tfaEventReader reader(input, "flows.jsonl");
    LogCapture capture;
    std::vector<size_t> lines;
    tfaReplayEvent event;
    while (reader.Next(event))
        lines.push_back(event.line);
    EXPECT_EQ(lines, (std::vector<size_t>{1, 5, 7}));
    EXPECT_EQ(reader.GetLines(), 7u);
    EXPECT_EQ(reader.GetSkipped(), 2u);
    EXPECT_EQ(capture.LogLines(),
              (std::vector<std::string>{
                  "flows.jsonl:3: invalid JSON: parse error at line 1, column 2: syntax error "
                  "while parsing value - invalid literal; last read: 'no'\n",
                  "flows.jsonl:6: flow: missing\n",
              }));
}
} // namespace
