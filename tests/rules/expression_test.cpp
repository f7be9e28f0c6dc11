#include "host/flow.hpp"
#include "rules/expression.hpp"
#include "support/shared_parser.hpp"

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace
{
// What an evaluation gave: a match, no match, or the fault it threw.
std::string Outcome(const tfaExpression &expression, const std::shared_ptr<tdFlow> &flow,
                    const tdFlowParams &params)
{
    std::lock_guard<std::recursive_mutex> guard(flow->lock);
    try {
        return expression.Matches(flow, params) ? "match" : "no match";
    } catch (const std::string &fault) {
        return "fault: " + fault;
    }
}

std::shared_ptr<tdFlow> Flow(const std::string &other, uint16_t port, const std::string &name)
{
    auto flow = std::make_shared<tdFlow>();
    tdAddr::Create(flow->lower_addr, "192.168.1.10");
    tdAddr::Create(flow->upper_addr, other);
    flow->upper_addr.SetPort(port);
    flow->lower_map = tdFlow::LOWER_MAP_LOCAL;
    flow->ip_protocol = 6;
    flow->host_server_name = name;
    return flow;
}

// Against an agent library without compiled expressions the rules hold their texts alone: the
// load finds the same faults and every flow gets the same answer.
TEST(Expression, TextOnlyAgreesWithCompiled)
{
    SharedParser parser;
    const std::vector<std::string> texts = {
        "other_port == 443 && ip_protocol == 6",
        "other_ip == 93.184.0.0/16",
        "host_server_name =~ '\\.example\\.com$'",
        "!host_server_name",
        "intel.score > 50",
        "other_ipp == 1",
        "host_server_name =~ '('",
        "other_port ==",
    };
    const std::vector<std::shared_ptr<tdFlow>> flows = {
        Flow("93.184.216.34", 443, "www.example.com"),
        Flow("10.0.0.1", 80, ""),
        Flow("2001:db8::1", 443, "example.org"),
    };
    const tdFlowParams intel{{"intel", json{{"score", 70}}}};
    for (const auto &text : texts) {
        SCOPED_TRACE(text);
        tfaExpression compiled(text);
        tfaExpression by_text(text, tfaExpression::TEXT_ONLY);
        EXPECT_EQ(by_text.Fault(), compiled.Fault());
        for (size_t i = 0; i < flows.size(); i++) {
            SCOPED_TRACE("flow " + std::to_string(i));
            for (const tdFlowParams *params : {&intel, static_cast<const tdFlowParams *>(nullptr)}) {
                const tdFlowParams none;
                const tdFlowParams &used = params ? *params : none;
                EXPECT_EQ(Outcome(by_text, flows[i], used), Outcome(compiled, flows[i], used));
            }
        }
    }
    // The table means something only if it holds answers of every kind.
    EXPECT_EQ(Outcome(tfaExpression(texts[0], tfaExpression::TEXT_ONLY), flows[0], {}), "match");
    EXPECT_EQ(Outcome(tfaExpression(texts[0], tfaExpression::TEXT_ONLY), flows[1], {}), "no match");
    EXPECT_EQ(Outcome(tfaExpression(texts[5], tfaExpression::TEXT_ONLY), flows[0], {}),
              "fault: column 1: unknown field: other_ipp");
}
} // namespace
