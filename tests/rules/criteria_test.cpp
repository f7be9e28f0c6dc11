#include "host/exception.hpp"
#include "host/flow.hpp"
#include "host/instance.hpp"
#include "plugin/plugin.hpp"
#include "rules/criteria.hpp"
#include "support/capture.hpp"

#include "support/shared_parser.hpp"

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace
{
using Lines = std::vector<std::string>;
using Ids = std::vector<uint32_t>;

constexpr uint32_t PROTO_TODO = 4294967295u;

class Criteria : public ::testing::Test
{
protected:
    void SetUp() override { instance.apps.Load(TFA_SOURCE_DIR "/examples/applications.json"); }

    static std::shared_ptr<tdFlow> Flow(uint32_t application, uint32_t protocol)
    {
        auto flow = std::make_shared<tdFlow>();
        flow->detected_application = application;
        flow->detected_protocol = protocol;
        return flow;
    }

    // The reason the parser itself gives for rejecting `expression`.
    static std::string ParserFault(const std::string &expression)
    {
        try {
            tfaPlugin::parser->Parse(Flow(0, 0), {}, expression);
        } catch (const std::string &fault) {
            return fault;
        }
        ADD_FAILURE() << "parser accepted " << expression;
        return "";
    }

    tdInstance instance{"test"};
    SharedParser parser;
};

TEST_F(Criteria, Compile)
{
    struct Row {
        std::string text;
        tfaCriteria::Type type;
        bool negated;
        Ids ids;
        Lines lines;
    };
    using T = tfaCriteria::Type;
    const Row rows[] = {
        {"*", T::CT_ANY, false, {}, {}},
        {"**", T::CT_EXPRESSION, false, {}, {}},
        {" *", T::CT_EXPRESSION, false, {}, {}},
        {"ip_protocol == 6", T::CT_EXPRESSION, false, {}, {}},
        {":ai", T::CT_EXPRESSION, false, {}, {}},
        {"AI:facebook", T::CT_EXPRESSION, false, {}, {}},
        {"intel.tag:!x", T::CT_EXPRESSION, true, {}, {}},
        {"ai:tarvix.facebook",
         T::CT_AI,
         false,
         {119},
         {"Push application ID: tarvix.facebook: 119\n"}},
        {"ai:facebook", T::CT_AI, false, {119}, {"Push application ID: facebook: 119\n"}},
        {"ai:119.tarvix.facebook",
         T::CT_AI,
         false,
         {119},
         {"Push application ID: 119.tarvix.facebook: 119\n"}},
        {"ai:119", T::CT_AI, false, {119}, {"Push application ID: 119: 119\n"}},
        {"ai:0110", T::CT_AI, false, {72}, {"Push application ID: 0110: 72\n"}},
        {"ai:4294967415", T::CT_AI, false, {119}, {"Push application ID: 4294967415: 119\n"}},
        {"ai:0x77.tarvix.x", T::CT_AI, false, {119}, {"Push application ID: 0x77.tarvix.x: 119\n"}},
        {"ai:!tarvix.facebook",
         T::CT_AI,
         true,
         {119},
         {"Push application ID: tarvix.facebook: 119\n"}},
        {"ai:0", T::CT_AI, false, {}, {"Failed to resolve application: 0: 0\n"}},
        {"ai:x.tarvix.facebook",
         T::CT_AI,
         false,
         {},
         {"Failed to resolve application: x.tarvix.facebook: 0\n"}},
        {"ai:a.b.c.d", T::CT_AI, false, {}, {"Failed to resolve application: a.b.c.d: 0\n"}},
        {"ai:999", T::CT_AI, false, {}, {"Invalid application: 999\n"}},
        {"ai:myspace", T::CT_AI, false, {}, {"Invalid application: myspace\n"}},
        {"ai:tarvix.myspace", T::CT_AI, false, {}, {"Invalid application: tarvix.myspace\n"}},
        {"ai:0x77", T::CT_AI, false, {}, {"Invalid application: 0x77\n"}},
        {"ai:09", T::CT_AI, false, {}, {"Invalid application: 09\n"}},
        {"ai:!!facebook", T::CT_AI, true, {}, {"Invalid application: !facebook\n"}},
        {"pi:91", T::CT_PI, false, {91}, {"Push protocol ID: TLS: 91\n"}},
        {"pi:tls", T::CT_PI, false, {91}, {"Push protocol ID: TLS: 91\n"}},
        {"pi:0133", T::CT_PI, false, {91}, {"Push protocol ID: TLS: 91\n"}},
        {"pi:dns", T::CT_PI, false, {5}, {"Push protocol ID: DNS: 5\n"}},
        {"pi:DNS", T::CT_PI, false, {5}, {"Push protocol ID: DNS: 5\n"}},
        {"pi:http/s", T::CT_PI, false, {196}, {"Push protocol ID: HTTP/S: 196\n"}},
        {"pi:0", T::CT_PI, false, {0}, {"Push protocol ID: Unknown: 0\n"}},
        {"pi:unknown", T::CT_PI, false, {0}, {"Push protocol ID: Unknown: 0\n"}},
        {"pi:todo", T::CT_PI, false, {PROTO_TODO}, {"Push protocol ID: TODO: 4294967295\n"}},
        {"pi:4294967295", T::CT_PI, false, {PROTO_TODO}, {"Push protocol ID: TODO: 4294967295\n"}},
        {"pi:!dns", T::CT_PI, true, {5}, {"Push protocol ID: DNS: 5\n"}},
        {"pi:22", T::CT_PI, false, {}, {"Invalid protocol ID: 22\n"}},
        {"pi:400", T::CT_PI, false, {}, {"Invalid protocol ID: 400\n"}},
        {"pi:999999", T::CT_PI, false, {}, {"Invalid protocol ID: 999999\n"}},
        {"pi:08", T::CT_PI, false, {}, {"Invalid protocol ID: 08\n"}},
        {"pi:99999999999999999999",
         T::CT_PI,
         false,
         {},
         {"Invalid protocol ID: 99999999999999999999\n"}},
        // Unknown protocol names used to resolve to nothing without a word.
        {"pi:nosuchprotocol", T::CT_PI, false, {}, {"Invalid protocol: nosuchprotocol\n"}},
        {"pi:dn", T::CT_PI, false, {}, {"Invalid protocol: dn\n"}},
        {"pi:dnss", T::CT_PI, false, {}, {"Invalid protocol: dnss\n"}},
        {"pi:!dnss", T::CT_PI, true, {}, {"Invalid protocol: dnss\n"}},
        {std::string("pi:dns\0x", 8), T::CT_PI, false, {},
         {std::string("Invalid protocol: dns\0x\n", 24)}},
        {"ac:119", T::CT_AC, false, {}, {}},
        {"pc:!5", T::CT_PC, true, {}, {}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text);
        LogCapture capture;
        std::unique_ptr<tfaCriteria> criteria(tfaCriteria::Create(row.text));
        EXPECT_EQ(criteria->GetType(), row.type);
        EXPECT_EQ(criteria->IsNegated(), row.negated);
        EXPECT_EQ(criteria->GetIds(), row.ids);
        EXPECT_EQ(criteria->GetExpression(), row.text);
        // A resolution fault is kept for the action to report under its name.
        Lines lines;
        std::string fault;
        for (const auto &line : row.lines) {
            if (line.rfind("Invalid ", 0) == 0)
                fault = line.substr(0, line.size() - 1);
            else
                lines.push_back(line);
        }
        EXPECT_EQ(capture.Lines(), lines);
        EXPECT_EQ(criteria->GetFault(), fault);
    }
}

// Failures of resolution were written without the action's name; they are kept for the action
// to report, and successes stay debug output.
TEST_F(Criteria, ResolutionLogLevels)
{
    LogCapture capture;
    std::unique_ptr<tfaCriteria> a(tfaCriteria::Create("ai:myspace"));
    std::unique_ptr<tfaCriteria> b(tfaCriteria::Create("pi:22"));
    std::unique_ptr<tfaCriteria> c(tfaCriteria::Create("ai:facebook"));
    std::unique_ptr<tfaCriteria> d(tfaCriteria::Create("ai:0"));
    std::unique_ptr<tfaCriteria> e(tfaCriteria::Create("pi:dns"));
    EXPECT_EQ(capture.LogLines(), Lines{});
    EXPECT_EQ(a->GetFault(), "Invalid application: myspace");
    EXPECT_EQ(b->GetFault(), "Invalid protocol ID: 22");
    EXPECT_EQ(capture.DebugLines(),
              (Lines{"Push application ID: facebook: 119\n",
                     "Failed to resolve application: 0: 0\n", "Push protocol ID: DNS: 5\n"}));
}

TEST_F(Criteria, RejectedText)
{
    const std::pair<std::string, std::string> rows[] = {
        {"", "invalid criteria (zero-length)"},
        {"ai:", "ai:"},
        {"ac:", "ac:"},
        {"pi:", "pi:"},
        {"pc:", "pc:"},
        {"intel.score:", "intel.score:"},
        {"ai:!", "ai:!"},
        {"pi:!", "pi:!"},
        {"ac:!", "ac:!"},
    };
    for (const auto &[text, message] : rows) {
        SCOPED_TRACE(text);
        try {
            tfaCriteria::Create(text);
            ADD_FAILURE() << "accepted";
        } catch (const std::string &fault) {
            EXPECT_EQ(fault, message);
        }
    }
}

TEST(CriteriaInstance, MissingHostInstance)
{
    try {
        tfaCriteria criteria("*");
        ADD_FAILURE() << "built without a host instance";
    } catch (const tdException &e) {
        EXPECT_STREQ(e.what(), "tdInstance: instance not found");
    }
}

TEST_F(Criteria, MatchIdentifiers)
{
    struct Row {
        const char *text;
        uint32_t application;
        uint32_t protocol;
        bool match;
    };
    const Row rows[] = {
        {"*", 0, 0, true},
        {"ai:facebook", 119, 0, true},
        {"ai:facebook", 72, 0, false},
        {"ai:facebook", 0, 119, false},
        {"ai:!facebook", 119, 0, false},
        {"ai:!facebook", 72, 0, true},
        {"ai:myspace", 0, 0, false},
        {"ai:!myspace", 119, 0, true},
        {"ac:119", 119, 119, false},
        {"ac:!119", 119, 119, true},
        {"pi:dns", 0, 5, true},
        {"pi:dns", 5, 91, false},
        {"pi:!dns", 0, 5, false},
        {"pi:!dns", 0, 91, true},
        {"pi:todo", 0, PROTO_TODO, true},
        {"pi:nosuchprotocol", 0, 0, false},
        {"pi:22", 0, 22, false},
        {"pc:5", 0, 5, false},
        {"pc:!5", 0, 5, true},
    };
    // None of these may reach the flow expression parser.
    tfaPlugin::parser = nullptr;
    const tdFlowParams params;
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.text) + " app " + std::to_string(row.application) + " proto " +
                     std::to_string(row.protocol));
        tfaCriteria criteria(row.text);
        auto flow = Flow(row.application, row.protocol);
        EXPECT_EQ(criteria == std::make_pair(std::cref(flow), std::cref(params)), row.match);
    }
}

TEST_F(Criteria, MatchExpressions)
{
    struct Row {
        const char *text;
        uint8_t ip_protocol;
        tdFlowParams params;
        bool match;
    };
    const Row rows[] = {
        {"ip_protocol == 6", 6, {}, true},
        {"ip_protocol == 6", 17, {}, false},
        {"ip_protocol != 6", 17, {}, true},
        {"ip_protocol == 6 && intel.score == 5", 6, {{"intel", {{"score", 5}}}}, true},
        {"ip_protocol == 6 && intel.score == 5", 6, {{"intel", {{"score", 4}}}}, false},
        {"detected_protocol_name == \"DNS:x\"", 17, {}, false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text);
        tfaCriteria criteria(row.text);
        ASSERT_EQ(criteria.GetType(), tfaCriteria::CT_EXPRESSION);
        auto flow = Flow(0, 0);
        flow->ip_protocol = row.ip_protocol;
        EXPECT_EQ(criteria == std::make_pair(std::cref(flow), std::cref(row.params)), row.match);
    }
}

// A bad expression loads; the fault surfaces on the first evaluation, with the parser's reason.
TEST_F(Criteria, ParseErrorAtEvaluation)
{
    const std::string expression = "ip_protocol ==";
    std::unique_ptr<tfaCriteria> criteria(tfaCriteria::Create(expression));
    auto flow = Flow(0, 0);
    const tdFlowParams params;
    try {
        (void)(*criteria == std::make_pair(std::cref(flow), std::cref(params)));
        ADD_FAILURE() << "bad expression matched";
    } catch (const tdException &e) {
        EXPECT_EQ(std::string(e.what()),
                  "criteria parse error: \"ip_protocol ==\": " + ParserFault(expression));
    }
}

TEST_F(Criteria, NoParserIsAnErrorNotACrash)
{
    tfaPlugin::parser = nullptr;
    tfaCriteria criteria("ip_protocol == 6");
    auto flow = Flow(0, 0);
    const tdFlowParams params;
    try {
        (void)(criteria == std::make_pair(std::cref(flow), std::cref(params)));
        ADD_FAILURE() << "evaluated without a parser";
    } catch (const tdException &e) {
        EXPECT_STREQ(
            e.what(),
            "criteria parse error: \"ip_protocol == 6\": flow expression parser not created");
    }
}

TEST(CriteriaIsNumeric, Texts)
{
    const std::pair<const char *, bool> rows[] = {
        {"", false},    {"0", true},     {"0110", true}, {"4294967296", true},
        {"12a", false}, {" 1", false},   {"1 ", false},  {"-1", false},
        {"+1", false},  {"0x10", false}, {"1.0", false}, {"\xd9\xa1", false},
    };
    for (const auto &[text, numeric] : rows) {
        SCOPED_TRACE(text);
        EXPECT_EQ(tfaCriteria::IsNumeric(text), numeric);
    }
}
} // namespace
