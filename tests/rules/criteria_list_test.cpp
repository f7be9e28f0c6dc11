#include "host/exception.hpp"
#include "host/flow.hpp"
#include "host/instance.hpp"
#include "rules/criteria_list.hpp"
#include "rules/rules_context.hpp"

#include "support/shared_parser.hpp"

#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace
{
using Lines = std::vector<std::string>;

constexpr size_t NONE = tfaCriteriaList::NONE;
// What a search that faults answers in these tests.
constexpr size_t FAULT = NONE - 1;

class CriteriaList : public ::testing::Test
{
protected:
    void SetUp() override { instance.apps.Load(TFA_SOURCE_DIR "/examples/applications.json"); }

    static tfaCriteriaList Build(const Lines &lines)
    {
        std::vector<std::unique_ptr<tfaCriteria>> criteria;
        for (const auto &line : lines)
            criteria.push_back(tfaCriteria::Create(line));
        return tfaCriteriaList("list", std::move(criteria));
    }

    static size_t Indexed(const tfaCriteriaList &list, const std::shared_ptr<tdFlow> &flow,
                          const tdFlowParams &params)
    {
        std::lock_guard<std::recursive_mutex> guard(flow->lock);
        try {
            size_t position = list.FirstMatch(flow, params);
            return position == tfaCriteriaList::FAULTED ? FAULT : position;
        } catch (const tdException &) {
            return FAULT;
        }
    }

    // The list's meaning, criteria by criteria in order, without the index.
    static size_t OneByOne(const tfaCriteriaList &list, const std::shared_ptr<tdFlow> &flow,
                           const tdFlowParams &params)
    {
        std::pair<const std::shared_ptr<tdFlow> &, const tdFlowParams &> event(flow, params);
        for (size_t position = 0; position < list.Size(); position++) {
            try {
                if (list.At(position) == event)
                    return position;
            } catch (const tdException &) {
                return FAULT;
            }
        }
        return NONE;
    }

    static std::shared_ptr<tdFlow> Flow(const std::string &local, const std::string &other,
                                        uint16_t other_port, const std::string &name = "")
    {
        auto flow = std::make_shared<tdFlow>();
        tdAddr::Create(flow->lower_addr, local);
        flow->lower_addr.SetPort(50000);
        tdAddr::Create(flow->upper_addr, other);
        flow->upper_addr.SetPort(other_port);
        flow->lower_map = tdFlow::LOWER_MAP_LOCAL;
        flow->host_server_name = name;
        return flow;
    }

    tdInstance instance{"test"};
    SharedParser parser;
};

// Which criteria the index answers for, and which it leaves to the parser.
TEST_F(CriteriaList, IndexesOnlyTheSimpleShapes)
{
    struct Row {
        std::string line;
        bool indexed;
    };
    const std::vector<Row> rows = {
        {"other_ip == 192.0.2.1", true},
        {"  local_ip==10.0.0.0/8  ", true},
        {"other_ip == 2001:db8::/32", true},
        {"other_port == 443", true},
        {"local_port == 0443", true},
        {"detected_protocol == 5", true},
        {"detected_application == 119", true},
        {"host_server_name == 'example.com'", true},
        {"dns_host_name == \"example.com\"", true},
        {"host_server_name =~ '(^|\\.)example\\.com$'", true},
        {"dns_host_name =~ '(?i)^cdn[0-9]+\\.'", true},
        {"pi:dns", true},
        {"ai:netflix", true},
        {"*", true},
        {"ai:!", false},
        {"pi:!dns", false},
        {"other_ip == '192.0.2.1'", false},
        {"other_port == 0x1bb", false},
        {"other_port == 70000", false},
        {"other_port == +443", false},
        {"host_server_name == 'a\\'b'", false},
        {"host_server_name =~ 'a\\x41'", false},
        {"host_server_name =~ 'a\\nb'", false},
        {"other_ip != 192.0.2.1", false},
        {"other_ip == 192.0.2.1 || other_ip == 192.0.2.2", false},
        {"host_server_name == 'a' && other_port == 443", false},
        {"other_ip in [192.0.2.1]", false},
        {"ssl.client_sni == 'example.com'", false},
        {"Other_ip == 192.0.2.1", false},
        {"other_ip == 192.0.2.300", false},
        {"host_server_name =~ '('", false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.line);
        Lines lines = {row.line};
        if (row.line == "ai:!") {
            EXPECT_THROW(Build(lines), std::string);
            continue;
        }
        EXPECT_EQ(Build(lines).Indexed(), row.indexed ? 1u : 0u);
    }
}

// The answer is the first criteria in order, whichever path finds it, and a criteria that faults
// before any matches ends the search.
TEST_F(CriteriaList, KeepsOrderAndFaults)
{
    const std::string BAD = "host_server_name =~ '('";
    struct Row {
        const char *name;
        Lines lines;
        size_t expected;
    };
    const std::vector<Row> rows = {
        {"indexed before plain", {"other_port == 443", "other_port > 1"}, 0},
        {"plain before indexed", {"other_port > 1", "other_port == 443"}, 0},
        {"later indexed duplicate", {"other_port == 1", "other_port == 443", "other_port == 443"}, 1},
        {"network and host", {"other_ip == 192.0.2.7", "other_ip == 192.0.2.0/24"}, 0},
        {"host after network", {"other_ip == 192.0.0.0/16", "other_ip == 192.0.2.7"}, 0},
        {"wider network later", {"other_ip == 198.51.100.0/24", "other_ip == 192.0.0.0/8"}, 1},
        {"fault after indexed match", {"other_port == 443", BAD}, 0},
        {"fault before indexed match", {BAD, "other_port == 443"}, FAULT},
        {"fault and no match", {"other_port == 1", BAD}, FAULT},
        {"star after fault", {BAD, "*"}, FAULT},
        {"star first", {"*", BAD}, 0},
        {"no match", {"other_port == 1", "local_ip == 10.0.0.0/8", "host_server_name == 'x'"}, NONE},
        {"name and pattern", {"host_server_name =~ 'www'", "host_server_name == 'www.example.com'"}, 0},
        {"pattern after name", {"host_server_name == 'www.example.com'", "host_server_name =~ 'www'"}, 0},
        {"other side only", {"local_ip == 192.0.2.7", "local_port == 443", "other_port == 50000"}, NONE},
    };
    auto flow = Flow("198.51.100.9", "192.0.2.7", 443, "www.example.com");
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        auto list = Build(row.lines);
        EXPECT_EQ(Indexed(list, flow, {}), row.expected);
        EXPECT_EQ(OneByOne(list, flow, {}), row.expected);
    }
}

// An empty name is absent: it equals no name, not even '', and matches no pattern.
TEST_F(CriteriaList, AbsentNameMatchesNothing)
{
    auto list = Build({"host_server_name == ''", "host_server_name =~ ''", "host_server_name =~ '.*'"});
    auto flow = Flow("198.51.100.9", "192.0.2.7", 443);
    EXPECT_EQ(Indexed(list, flow, {}), NONE);
    EXPECT_EQ(OneByOne(list, flow, {}), NONE);
}

// A list of ten thousand lines of every kind, run through the index and one by one on the same
// flows, must give the same answer flow by flow.
class ListBuilder
{
public:
    explicit ListBuilder(std::mt19937 &random) : random(random) {}

    std::string V4(bool network)
    {
        std::string text = std::to_string(Pick(1, 223)) + "." + std::to_string(Pick(0, 3)) + "." +
                           std::to_string(Pick(0, 255)) + "." + std::to_string(Pick(0, 255));
        return network ? text + "/" + std::to_string(Pick(20, 31)) : text;
    }
    std::string V6(bool network)
    {
        std::string text = "2001:db8:" + std::to_string(Pick(0, 3)) + "::" + std::to_string(Pick(1, 99));
        return network ? text + "/" + std::to_string(Pick(32, 127)) : text;
    }
    // Lines name fewer values than flows carry, so that some flows match and others do not.
    std::string Name(int count = 1000) { return "h" + std::to_string(Pick(0, count - 1)) + ".example.net"; }
    uint16_t Port(int highest = 200) { return uint16_t(Pick(1, highest)); }

    std::string Line()
    {
        const char *side = Pick(0, 3) == 0 ? "local" : "other";
        switch (Pick(0, 13)) {
        case 0: return std::string(side) + "_ip == " + V4(false);
        case 1: return std::string(side) + "_ip == " + V4(true);
        case 2: return std::string(side) + "_ip == " + V6(Pick(0, 1) == 1);
        case 3: return std::string(side) + "_port == " + std::to_string(Port());
        case 4: return "host_server_name == '" + Name() + "'";
        case 5: return "dns_host_name == '" + Name() + "'";
        case 6: return "host_server_name =~ '^h" + std::to_string(Pick(0, 999)) + "\\.example'";
        case 7: return "dns_host_name =~ '(?i)H" + std::to_string(Pick(0, 99)) + "[0-9]\\.'";
        case 8: return "detected_protocol == " + std::to_string(Pick(0, 300));
        case 9: return "pi:" + std::to_string(Pick(1, 300));
        case 10: return "ai:" + std::to_string(Pick(1, 300));
        case 11: return std::string(side) + "_port == " + std::to_string(Port()) + " && ip_protocol == 6";
        case 12: return "other_ip in [" + V4(true) + ", " + V4(false) + "]";
        default: return "host_server_name =~ '^h\\x3" + std::to_string(Pick(1, 9)) + "0\\.'";
        }
    }

    std::shared_ptr<tdFlow> Flow()
    {
        auto flow = std::make_shared<tdFlow>();
        bool v6 = Pick(0, 4) == 0;
        tdAddr::Create(flow->lower_addr, v6 ? V6(false) : V4(false));
        tdAddr::Create(flow->upper_addr, v6 ? V6(false) : V4(false));
        flow->lower_addr.SetPort(Port(2000));
        flow->upper_addr.SetPort(Port(2000));
        flow->lower_map = uint8_t(Pick(0, 2));
        flow->ip_protocol = Pick(0, 1) ? 6 : 17;
        flow->detected_protocol = uint32_t(Pick(0, 30000));
        flow->detected_application = uint32_t(Pick(0, 30000));
        if (Pick(0, 3) != 0)
            flow->host_server_name = Name(20000);
        if (Pick(0, 3) == 0)
            flow->dns_host_name = Pick(0, 1) ? Name(20000) : "H" + std::to_string(Pick(0, 9999)) + ".cdn";
        return flow;
    }

private:
    int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); }
    std::mt19937 &random;
};

TEST_F(CriteriaList, IndexAgreesWithOneByOneOnTenThousandLines)
{
    constexpr int LINES = 10000;
    constexpr int FLOWS = 1000;
    std::mt19937 random(20261209);
    ListBuilder builder(random);
    Lines lines;
    for (int i = 0; i < LINES; i++)
        lines.push_back(builder.Line());
    // One faulting line late in the list: flows that match nothing before it fault.
    lines[LINES - 100] = "host_server_name =~ '('";
    auto list = Build(lines);
    ASSERT_GT(list.Indexed(), size_t(LINES * 3 / 4));
    ASSERT_LT(list.Indexed(), size_t(LINES));

    size_t matched = 0, faulted = 0;
    for (int i = 0; i < FLOWS; i++) {
        auto flow = builder.Flow();
        SCOPED_TRACE("flow " + std::to_string(i));
        size_t expected = OneByOne(list, flow, {});
        ASSERT_EQ(Indexed(list, flow, {}), expected);
        matched += expected < FAULT;
        faulted += expected == FAULT;
    }
    // The list is only a test of the index when both answers are common.
    EXPECT_GT(matched, size_t(FLOWS / 10));
    EXPECT_GT(faulted, size_t(FLOWS / 10));
}
} // namespace
