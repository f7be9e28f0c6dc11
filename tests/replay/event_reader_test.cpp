// Reading replay files: event kinds, flow identity, control lines and malformed lines.
#include "host/exception.hpp"
#include "support/capture.hpp"
#include "tools/replay/event_reader.hpp"

#include <gtest/gtest.h>
#include <sstream>
#include <streambuf>

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
// Lines the parser refuses are worded as they always were, and the reader goes on with the
// next line on the same parser.
TEST(EventReader, RefusedLinesKeepTheirWording)
{
    const std::string flow = R"({"type": "flow", "flow": )";
    auto nested = [](size_t levels) {
        return std::string(levels, '[') + std::string(levels, ']');
    };
    struct Row {
        const char *name;
        std::string line;
        std::string message;
    };
    const Row rows[] = {
        {"truncated", flow + R"({"ip_protocol": 6)",
         "invalid JSON: parse error at line 1, column 43: syntax error while parsing object - "
         "unexpected end of input; expected '}'"},
        {"truncated string", flow + R"({"local_ip": "192.0)",
         "invalid JSON: parse error at line 1, column 45: syntax error while parsing value - "
         "invalid string: missing closing quote; last read: '\"192.0'"},
        {"trailing text", R"({"type": "update"} x)",
         "invalid JSON: parse error at line 1, column 20: syntax error while parsing value - "
         "invalid literal; last read: '\"update\"} x'; expected end of input"},
        {"invalid UTF-8", flow + "{\"dns_host_name\": \"a\xc0\xaf\"}}",
         "invalid JSON: parse error at line 1, column 46: syntax error while parsing value - "
         "invalid string: ill-formed UTF-8 byte; last read: '\"a\\xc0'"},
        {"lone surrogate", flow + R"({"dns_host_name": "\ud800"}})",
         "invalid JSON: parse error at line 1, column 51: syntax error while parsing value - "
         "invalid string: surrogate U+D800..U+DBFF must be followed by U+DC00..U+DFFF; last "
         "read: '\"\\ud800\"'"},
        {"raw control character", flow + "{\"dns_host_name\": \"a\x01\"}}",
         "invalid JSON: parse error at line 1, column 46: syntax error while parsing value - "
         "invalid string: control character U+0001 (SOH) must be escaped to \\u0001; last read: "
         "'\"a<U+0001>'"},
        {"NUL inside a string", flow + std::string("{\"dns_host_name\": \"a\0\"}}", 25),
         "NUL byte at column 46"},
        {"number past a double", flow + R"({"local_rate": -1e999}})",
         "invalid JSON: a number too large for a double"},
        {"integer past 64 bits", flow + R"({"local_bytes": 18446744073709551616}})",
         "flow.local_bytes: expected an unsigned number up to 18446744073709551615: "
         "1.8446744073709552e+19"},
        {"negative integer past 64 bits", flow + R"({"risks": {"risks": [-9223372036854775809]}}})",
         "flow.risks.risks: expected an array of risk numbers: [-9.223372036854776e+18]"},
        {"129 levels", R"({"type": "update", "x": )" + nested(128) + "}",
         "nested deeper than 128 levels at column 152"},
        {"wrong type deep in the flow", flow + R"({"ssl": {"alpn": [["h2"]]}}})",
         R"(flow.ssl.alpn: expected an array of strings: [["h2"]])"},
        {"unknown members are named in order of names", flow + R"({}, "zz": 1, "aaa": 2})",
         "aaa: unknown member"},
        {"unknown flow members too", flow + R"({"zz": 1, "aaa": 2}})", "flow.aaa: unknown member"},
        {"a duplicate's last value counts", flow + R"({"ip_protocol": 6, "ip_protocol": 600}})",
         "flow.ip_protocol: expected an unsigned number up to 255: 600"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        std::istringstream input(row.line + "\n{\"type\": \"update\"}\n");
        tfaEventReader reader(input, "f");
        LogCapture capture;
        tfaReplayEvent event;
        ASSERT_TRUE(reader.Next(event));
        EXPECT_EQ(event.kind, tfaReplayEvent::UPDATE);
        EXPECT_EQ(event.line, 2u);
        EXPECT_EQ(capture.LogLines(), (std::vector<std::string>{"f:1: " + row.message + "\n"}));
    }
}

// What the former reader accepted stays accepted, with the values it read.
TEST(EventReader, AcceptedLinesKeepTheirValues)
{
    const std::string nested = std::string(127, '[') + std::string(127, ']');
    auto event = tfaEventReader::Parse("\xef\xbb\xbf" R"({"type": "flow_intel", "flow": {}})");
    EXPECT_EQ(event.event, tdPluginProcessor::EVENT_FLOW_INTEL);
    event = tfaEventReader::Parse(R"({"type": "flow_intel", "flow": {}, "intel": )" + nested + "}");
    EXPECT_EQ(event.intel.dump(), nested);
    event = tfaEventReader::Parse(
        R"({"type": "flow", "flow": {"ip_protocol": 600, "ip_protocol": 17}})");
    EXPECT_EQ(event.flow->ip_protocol, 17);

    // The plug-in sees numbers typed as its JSON library types them.
    const std::string intel =
        R"({"u": 5, "i": -5, "f": 1.5, "e": 1e2, "z": -0.0, "big": 18446744073709551616,
            "max": 18446744073709551615, "s": "\u00e9\u0000", "n": null, "b": [true, {}]})";
    event = tfaEventReader::Parse(R"({"type": "flow_intel", "flow": {}, "intel": )" + intel + "}");
    const json expected = json::parse(intel);
    ASSERT_EQ(event.intel, expected);
    for (const auto &member : expected.items()) {
        SCOPED_TRACE(member.key());
        EXPECT_EQ(event.intel[member.key()].type(), member.value().type());
    }
}

// Hands out its text a few bytes at a time and never says more is ready, as a pipe may.
class TrickleBuffer : public std::streambuf
{
public:
    explicit TrickleBuffer(std::string text) : text(std::move(text)) {}

protected:
    int_type underflow() override
    {
        if (at == text.size())
            return traits_type::eof();
        size_t size = std::min<size_t>(3, text.size() - at);
        setg(&text[at], &text[at], &text[at] + size);
        at += size;
        return traits_type::to_int_type(*gptr());
    }
    std::streamsize showmanyc() override { return 0; }

private:
    std::string text;
    size_t at = 0;
};

// Lines longer than the reader's chunks, lines cut by the limit, and input that trickles in are
// read whole and counted alike.
TEST(EventReader, LinesOfAnyLengthAndPace)
{
    const std::string mib_name(1 << 20, 'x');
    const std::string long_line = R"({"type": "flow", "flow": {"dns_host_name": ")" + mib_name +
                                  "\"}, \"interface\": \"em0\"}";
    const std::string update = "{\"type\": \"update\"}";
    const std::string text = long_line + "\n" + update + "\n" + long_line + "\r\n" + update;
    struct Row {
        const char *name;
        size_t limit;
        bool trickle;
        std::vector<size_t> lines;
        size_t skipped;
    };
    const Row rows[] = {
        {"1 MiB lines", tfaEventReader::DEFAULT_LINE_LIMIT, false, {1, 2, 3, 4}, 0},
        {"1 MiB lines trickling in", tfaEventReader::DEFAULT_LINE_LIMIT, true, {1, 2, 3, 4}, 0},
        {"over the limit", 1 << 20, false, {2, 4}, 2},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        std::istringstream whole(text);
        TrickleBuffer trickle(text);
        std::istream trickled(&trickle);
        tfaEventReader reader(row.trickle ? trickled : whole, "f", row.limit);
        LogCapture capture;
        std::vector<size_t> lines;
        tfaReplayEvent event;
        while (reader.Next(event)) {
            lines.push_back(event.line);
            if (event.kind == tfaReplayEvent::FLOW) {
                EXPECT_EQ(event.flow->dns_host_name, mib_name);
                EXPECT_EQ(event.flow->iface_name, "em0");
            }
        }
        EXPECT_EQ(lines, row.lines);
        EXPECT_EQ(reader.GetLines(), 4u);
        EXPECT_EQ(reader.GetSkipped(), row.skipped);
        EXPECT_EQ(capture.LogLines().size(), row.skipped);
    }
}
} // namespace
