#include "host/flow.hpp"
#include "host/flow_parser.hpp"

#include <gtest/gtest.h>
#include <memory>
#include <string>

namespace
{
std::shared_ptr<tdFlow> MakeFlow()
{
    auto flow = std::make_shared<tdFlow>();
    tdAddr::Create(flow->lower_addr, "192.168.1.10");
    flow->lower_addr.SetPort(51000);
    tdAddr::Create(flow->upper_addr, "93.184.216.34");
    flow->upper_addr.SetPort(443);
    tdAddr::Create(flow->lower_mac, "00:11:22:33:44:55");
    tdAddr::Create(flow->upper_mac, "66:77:88:99:aa:bb");
    flow->lower_map = tdFlow::LOWER_MAP_LOCAL;
    flow->origin = tdFlow::ORIGIN_LOWER;
    flow->other_type = tdFlow::OTHER_REMOTE;
    flow->ip_version = 4;
    flow->ip_protocol = 6;
    flow->master_protocol = 91;
    flow->detected_protocol = 91;
    flow->detected_protocol_name = "TLS";
    flow->detected_application = 119;
    flow->detected_application_name = "tarvix.facebook";
    flow->host_server_name = "www.example.com";
    flow->tls_version = 0x0303;
    flow->risks = {15, 37};
    flow->tags = {"blocked", "vip"};
    flow->iface_name = "eth0";
    flow->iface_role = tdFlow::ROLE_LAN;
    return flow;
}

struct Row {
    const char *expression;
    bool expected;
};

void ExpectRows(tdFlowParser &parser, const std::shared_ptr<tdFlow> &flow,
                const tdFlowParams &params, std::initializer_list<Row> rows)
{
    for (const Row &row : rows) {
        SCOPED_TRACE(row.expression);
        try {
            EXPECT_EQ(parser.Parse(flow, params, row.expression), row.expected);
        } catch (const std::string &fault) {
            ADD_FAILURE() << "rejected: " << fault;
        }
    }
}

TEST(FlowParser, BasicComparisons)
{
    tdFlowParser parser;
    ExpectRows(parser, MakeFlow(), {},
               {
                   {"local_port == 51000", true},
                   {"other_port == 443 && ip_protocol == 6", true},
                   {"other_port == 80 || other_port == 443", true},
                   {"!(other_port == 443)", false},
                   {"other_ip == 93.184.216.34", true},
                   {"other_ip == 93.184.0.0/16", true},
                   {"local_ip == 10.0.0.0/8", false},
                   {"host_server_name == 'www.example.com'", true},
                   {"detected_protocol_name == \"TLS\"", true},
                   {"internal == true", true},
               });
}
} // namespace
