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
        // Out of range: the reader's own words, never the JSON library's, and no wrap-around.
        {R"({"type": "flow", "flow": {"local_bytes": 1e400}})",
         "invalid JSON: a number too large for a double"},
        {R"({"type": "flow", "flow": {"risks": {"risks": [18446744073709551615]}}})",
         "flow.risks.risks: expected risk numbers from -2147483648 to 2147483647: "
         "18446744073709551615"},
        {R"({"type": "flow", "flow": {"risks": {"risks": [-2147483649]}}})",
         "flow.risks.risks: expected risk numbers from -2147483648 to 2147483647: -2147483649"},
        {R"({"type": "flow", "flow": {"local_rate": 1e300}})",
         "flow.local_rate: expected a number within the range of a 32-bit float: 1e+300"},
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

// Text that would reach a terminal raw, or whole, or a recursive routine of the JSON library.
TEST(EventReader, HostileLinesAreRefusedSafely)
{
    const std::string nested(100000, '[');
    const std::string long_key(1000000, 'k');
    struct Row {
        const char *name;
        std::string line;
        std::string message;
    };
    const Row rows[] = {
        {"nested flow", R"({"type": "flow", "flow": )" + nested,
         "nested deeper than 128 levels at column 153"},
        {"nested intel", R"({"type": "flow_intel", "flow": {}, "intel": )" + nested,
         "nested deeper than 128 levels at column 172"},
        {"brackets inside strings do not count",
         R"({"type": "flow", "flow": {}, "x": ")" + nested + "\"}", "x: unknown member"},
        {"NUL byte", std::string("{\"type\": \"flow\",\0 \"flow\": {}}", 27),
         "NUL byte at column 17"},
        {"escape sequence in a type", R"({"type": "\u001b]0;owned\u0007\u001b[2J", "flow": {}})",
         R"(type: unknown event type: "\x1b]0;owned\x07\x1b[2J")"},
        {"huge member name", "{\"" + long_key + "\": 1}",
         "kkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkk...: unknown member"},
        {"huge flow member name", R"({"type": "flow", "flow": {")" + long_key + "\": 1}}",
         "flow.kkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkk...: unknown "
         "member"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        try {
            tfaEventReader::Parse(row.line);
            ADD_FAILURE() << "accepted";
        } catch (const tdException &e) {
            EXPECT_EQ(std::string(e.what()), row.message);
        }
    }
}

// A line past the limit is skipped, counted and named; the lines around it are read as usual.
TEST(EventReader, OverlongLinesAreSkipped)
{
    const std::string update = "{\"type\": \"update\"}";
    const std::string overlong = "{\"type\": \"" + std::string(100, 'x') + "\"}";
    std::istringstream input(update + "\n" + overlong + "\n" + update + "\n" + overlong);
    tfaEventReader reader(input, "big\x1b.jsonl", 64);
    LogCapture capture;
    std::vector<size_t> lines;
    tfaReplayEvent event;
    while (reader.Next(event))
        lines.push_back(event.line);
    EXPECT_EQ(lines, (std::vector<size_t>{1, 3}));
    EXPECT_EQ(reader.GetSkipped(), 2u);
    EXPECT_EQ(capture.LogLines(), (std::vector<std::string>{
                                      "big\\x1b.jsonl:2: line of 112 bytes, longer than 64\n",
                                      "big\\x1b.jsonl:4: line of 112 bytes, longer than 64\n",
                                  }));
}

// Whatever the library's or the decoder's message, the reader's line shows no control
// character and no more than a bounded excerpt of the input.
TEST(EventReader, ReportedLinesAreEscapedAndCapped)
{
    // The library quotes the whole unterminated string it read.
    std::istringstream input("\"" + std::string(1000000, 'z') + "\x1b[31m\n");
    tfaEventReader reader(input, "flows.jsonl");
    LogCapture capture;
    tfaReplayEvent event;
    EXPECT_FALSE(reader.Next(event));
    ASSERT_EQ(capture.LogLines().size(), 1u);
    const std::string line = capture.LogLines()[0];
    EXPECT_EQ(line.rfind("flows.jsonl:1: invalid JSON: ", 0), 0u) << line;
    EXPECT_EQ(line.find('\x1b'), std::string::npos) << line;
    EXPECT_LT(line.size(), 4u * tfaEventReader::ECHO_LIMIT + 32) << line;
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
