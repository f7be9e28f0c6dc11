#include "host/flow.hpp"
#include "plugin/plugin.hpp"
#include "rules/exemption.hpp"
#include "support/capture.hpp"

#include "support/shared_parser.hpp"

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace
{
using Lines = std::vector<std::string>;

class Exemption : public ::testing::Test
{
protected:
    SharedParser parser;


    // A TCP flow between two hosts; both IP addresses carry ports.
    static std::shared_ptr<tdFlow> Flow()
    {
        auto flow = std::make_shared<tdFlow>();
        flow->ip_protocol = 6;
        tdAddr::Create(flow->lower_mac, "00:11:22:33:44:55");
        tdAddr::Create(flow->upper_mac, "66:77:88:99:aa:bb");
        tdAddr::Create(flow->lower_addr, "192.0.2.10");
        flow->lower_addr.SetPort(50000);
        tdAddr::Create(flow->upper_addr, "2001:db8::1");
        flow->upper_addr.SetPort(443);
        return flow;
    }

    static std::string ParserFault(const std::string &expression)
    {
        try {
            tfaPlugin::parser->Parse(Flow(), {}, expression);
        } catch (const std::string &fault) {
            return fault;
        }
        ADD_FAILURE() << "parser accepted " << expression;
        return "";
    }
};

TEST_F(Exemption, Kinds)
{
    using T = tfaExemption::Type;
    const std::pair<const char *, T> rows[] = {
        {"00:11:22:33:44:55", T::ET_MAC},
        {"00-11-22-33-44-55", T::ET_MAC},
        {"192.0.2.10", T::ET_ADDR},
        {"2001:db8::1", T::ET_ADDR},
        {"::ffff:192.0.2.10", T::ET_ADDR},
        {"192.0.2.0/24", T::ET_EXPRESSION},
        {"00:11:22:33:44", T::ET_EXPRESSION},
        {"example.com", T::ET_EXPRESSION},
        {"ip_protocol == 6", T::ET_EXPRESSION},
    };
    for (const auto &[text, type] : rows) {
        SCOPED_TRACE(text);
        std::unique_ptr<tfaExemption> exemption(tfaExemption::Create(text));
        EXPECT_EQ(exemption->GetType(), type);
        EXPECT_EQ(exemption->GetExpression(), text);
    }
}

TEST_F(Exemption, EmptyTextRejected)
{
    try {
        tfaExemption::Create("");
        ADD_FAILURE() << "accepted";
    } catch (const std::string &fault) {
        EXPECT_EQ(fault, "Exemption criteria can not be zero-length");
    }
}

TEST_F(Exemption, AddressesOnEitherSide)
{
    const std::pair<const char *, bool> rows[] = {
        {"00:11:22:33:44:55", true}, {"66-77-88-99-AA-BB", true},  {"00:11:22:33:44:56", false},
        {"192.0.2.10", true},        {"2001:db8::1", true},        {"2001:db8:0:0::1", true},
        {"192.0.2.11", false},       {"::ffff:192.0.2.10", false}, {"2001:db8::2", false},
    };
    auto flow = Flow();
    auto unset = std::make_shared<tdFlow>();
    for (const auto &[text, exempt] : rows) {
        SCOPED_TRACE(text);
        tfaExemption exemption(text);
        EXPECT_EQ(exemption.IsExempt(flow), exempt);
        EXPECT_FALSE(exemption.IsExempt(unset));
    }
}

TEST_F(Exemption, Expressions)
{
    const std::pair<const char *, bool> rows[] = {
        {"ip_protocol == 6", true},
        {"ip_protocol == 17", false},
        {"ip_protocol == 6 && !(ip_protocol == 6)", false},
    };
    auto flow = Flow();
    for (const auto &[text, exempt] : rows) {
        SCOPED_TRACE(text);
        LogCapture capture;
        tfaExemption exemption(text);
        EXPECT_EQ(exemption.IsExempt(flow), exempt);
        EXPECT_EQ(capture.Lines(), Lines{});
    }
}

// A bad expression logged again on every flow, flooding the log; it now logs once per load
// (the exemption lives as long as its load), counts every fault and exempts nothing.
TEST_F(Exemption, BadExpressionLogsOnceAndCounts)
{
    const std::string expression = "ip_protocol ==";
    const std::string fault = ParserFault(expression);
    tfaExemption exemption(expression);
    LogCapture capture;
    EXPECT_FALSE(exemption.IsExempt(Flow()));
    EXPECT_FALSE(exemption.IsExempt(Flow()));
    const Lines once = {"Error parsing exemption expression: " + fault + "\n",
                        "Expression: ip_protocol ==\n"};
    EXPECT_EQ(capture.Lines(), once);
    EXPECT_EQ(exemption.GetFaults(), 2u);
    EXPECT_EQ(exemption.CompileFault(), fault);
}

TEST_F(Exemption, NoParserExemptsNothing)
{
    tfaPlugin::parser = nullptr;
    tfaExemption exemption("ip_protocol == 6");
    LogCapture capture;
    EXPECT_FALSE(exemption.IsExempt(Flow()));
    EXPECT_EQ(capture.LogLines(),
              Lines{"Error parsing exemption expression: flow expression parser not created\n"});
}

// Exemptions see no flow parameters: the same text matches as a criteria given "intel", but
// never exempts.
TEST_F(Exemption, IntelParameterNotVisible)
{
    const std::string expression = "intel.score == 5";
    tdFlowParams params = {{"intel", {{"score", 5}}}};
    auto flow = Flow();
    ASSERT_TRUE(tfaPlugin::parser->Parse(flow, params, expression));
    LogCapture capture;
    EXPECT_FALSE(tfaExemption(expression).IsExempt(flow));
}
} // namespace
