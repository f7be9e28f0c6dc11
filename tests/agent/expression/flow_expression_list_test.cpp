#include "host/flow.hpp"
#include "host/flow_parser.hpp"
#include "support/temp_dir.hpp"

#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/stat.h>

namespace
{
std::shared_ptr<tdFlow> FlowTo(const std::string &other_ip)
{
    auto flow = std::make_shared<tdFlow>();
    flow->lower_map = tdFlow::LOWER_MAP_LOCAL;
    tdAddr::Create(flow->lower_addr, "192.168.1.10");
    tdAddr::Create(flow->upper_addr, other_ip);
    flow->upper_addr.SetPort(443);
    tdAddr::Create(flow->lower_mac, "00:11:22:33:44:55");
    flow->host_server_name = "www.example.com";
    flow->stats.lower_rate = 1.5;
    flow->risks = {15, 37};
    flow->tags = {"vip"};
    return flow;
}

class FileLists : public ::testing::Test
{
protected:
    // `field in file(...)` and its negation, for a list file holding `content`.
    void ExpectIn(const std::string &field, const std::string &content,
                  const std::shared_ptr<tdFlow> &flow, bool expected)
    {
        std::string path = scratch.Write("list-" + std::to_string(files++), content);
        std::string in = field + " in file('" + path + "')";
        std::string not_in = field + " not in file('" + path + "')";
        try {
            EXPECT_EQ(parser.Parse(flow, {}, in), expected);
            EXPECT_EQ(parser.Parse(flow, {}, not_in), !expected);
        } catch (const std::string &fault) {
            ADD_FAILURE() << "rejected: " << fault;
        }
    }

    // The fault of `field in file(path)`.
    std::string Fault(const std::string &field, const std::string &path)
    {
        try {
            parser.Parse(FlowTo("10.0.0.1"), {}, field + " in file('" + path + "')");
        } catch (const std::string &fault) {
            return fault;
        }
        return "accepted";
    }

    TempDir scratch{"tfa-lists"};
    tdFlowParser parser;
    int files = 0;
};

TEST_F(FileLists, AddressesAndNetworks)
{
    const std::string list = "# blocked peers\n"
                             "10.0.0.0/8\n"
                             "  192.0.2.7\t \n"
                             "\n"
                             "2001:db8::/32   # documentation\n"
                             "198.51.100.0/24\r\n"
                             "fe80::1\n"
                             "172.16.0.0/12 # last line, no newline";
    struct Row {
        const char *other_ip;
        bool listed;
    };
    const Row rows[] = {
        {"10.1.2.3", true},       {"11.0.0.1", false},     {"192.0.2.7", true},
        {"192.0.2.8", false},     {"2001:db8::5", true},   {"2001:db9::1", false},
        {"198.51.100.200", true}, {"fe80::1", true},       {"fe80::2", false},
        {"172.31.255.255", true}, {"172.32.0.0", false},   {"::ffff:10.1.2.3", false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.other_ip);
        ExpectIn("other_ip", list, FlowTo(row.other_ip), row.listed);
    }
    // Absent: never in a list, always not in one.
    ExpectIn("stun.mapped", list, FlowTo("10.1.2.3"), false);
}

TEST_F(FileLists, ValuesOfEachFieldType)
{
    auto flow = FlowTo("10.0.0.1");
    struct Row {
        const char *name, *field, *content;
        bool listed;
    };
    const Row rows[] = {
        {"MAC prefix", "local_mac", "66:77:88:99:aa:bb\n00-11-22-00-00-00/24\n", true},
        {"MAC absent", "local_mac", "00:11:22:33:44:56\n", false},
        {"names", "host_server_name", "# names\nexample.com\n  www.example.com  \n", true},
        {"names byte for byte", "host_server_name", "WWW.EXAMPLE.COM\nwww.example.com.\n", false},
        {"a # inside a name is no comment", "host_server_name", "www.example.com # x\n", false},
        {"numbers", "other_port", "80\n0x1bb # https\n", true},
        {"numbers absent", "other_port", "# 443\n8443\n", false},
        {"fractions", "local_rate", "2.5\n1.5\n", true},
        {"a whole real equals an integer", "other_port", "443.0\n", true},
        {"set of numbers", "risks", "1\n37\n", true},
        {"set of numbers absent", "risks", "16\n", false},
        {"set of strings", "tags", "blocked\nvip\n", true},
        {"empty file", "other_ip", "", false},
        {"comments only", "other_ip", "# nothing\n\n   \n", false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ExpectIn(row.field, row.content, flow, row.listed);
    }
}

TEST_F(FileLists, ReadOnceUntilTheCacheIsCleared)
{
    std::string path = scratch.Write("peers", "10.0.0.0/8\n");
    std::string expression = "other_ip in file('" + path + "')";
    auto flow = FlowTo("10.1.2.3");
    std::shared_ptr<const tdFlowExpression> compiled =
        td_flow_expression_compile(parser, expression);
    EXPECT_TRUE(parser.Parse(flow, {}, expression));

    scratch.Write("peers", "192.0.2.0/24\n");
    EXPECT_TRUE(parser.Parse(flow, {}, expression)) << "evaluation does not read the file";
    parser.ClearCache();
    EXPECT_FALSE(parser.Parse(flow, {}, expression)) << "a new compile reads it again";

    std::filesystem::remove(path);
    std::lock_guard<std::recursive_mutex> guard(flow->lock);
    EXPECT_TRUE(td_flow_expression_evaluate(*compiled, *flow, {})) << "the handle keeps its list";
}

TEST_F(FileLists, LargeListsMatchAnywhere)
{
    constexpr int LINES = 100000;
    std::string content;
    for (int i = 0; i < LINES; i++)
        content += "10." + std::to_string(i >> 16) + "." + std::to_string((i >> 8) & 255) + "." +
                   std::to_string(i & 255) + "\n";
    content += "2001:db8::/48\n";
    for (const char *listed : {"10.0.0.0", "10.1.134.159", "2001:db8:0:ffff::1"}) {
        SCOPED_TRACE(listed);
        ExpectIn("other_ip", content, FlowTo(listed), true);
    }
    for (const char *unlisted : {"10.1.134.160", "2001:db8:1::1"}) {
        SCOPED_TRACE(unlisted);
        ExpectIn("other_ip", content, FlowTo(unlisted), false);
    }
}

TEST_F(FileLists, Faults)
{
    std::string dir = scratch.Dir("dir");
    std::string fifo = scratch.path + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string large = scratch.Write("large", "");
    std::filesystem::resize_file(large, (64 << 20) + 1);
    std::string missing = scratch.path + "/missing";
    auto file = [this](const std::string &content) {
        return scratch.Write("faulty-" + std::to_string(files++), content);
    };

    struct Row {
        std::string field, path, fault;
    };
    std::string bad_address = file("10.0.0.1\n# fine\n\n10.0.0.300\n");
    std::string bad_length = file("10.0.0.0/33\n");
    std::string mac_for_ip = file("00:11:22:33:44:55\n");
    std::string bad_mac = file("00:11:22\n");
    std::string bad_number = file("443\n12ab # what\n");
    std::string huge_number = file("99999999999999999999\n");
    std::string control = file("1.2.3.4\x01\n");
    const Row rows[] = {
        {"other_ip", bad_address, bad_address + ":4: invalid address: 10.0.0.300"},
        {"other_ip", bad_length, bad_length + ":1: invalid prefix length: 10.0.0.0/33"},
        {"local_ip", mac_for_ip, mac_for_ip + ":1: invalid address: 00:11:22:33:44:55"},
        {"local_mac", bad_mac, bad_mac + ":1: invalid MAC address: 00:11:22"},
        {"other_port", bad_number, bad_number + ":2: invalid number: 12ab"},
        {"risks", huge_number, huge_number + ":1: number out of range: 99999999999999999999"},
        {"other_ip", control, control + ":1: invalid address: 1.2.3.4\\x01"},
        {"other_ip", missing, "cannot read " + missing + ": No such file or directory"},
        {"other_ip", dir, "cannot read " + dir + ": Is a directory"},
        {"other_ip", fifo, "cannot read " + fifo + ": not a regular file"},
        {"other_ip", large, "cannot read " + large + ": larger than 67108864 bytes"},
        {"ip_nat", bad_address, "file lists do not apply to ip_nat (a boolean)"},
        {"intel.ip", bad_address, "file lists do not apply to intel.ip (an intel value)"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.field + " " + row.path);
        size_t column = row.field.size() + 5; // "<field> in " then "file"
        EXPECT_EQ(Fault(row.field, row.path), "column " + std::to_string(column) + ": " + row.fault);
    }
}

TEST_F(FileLists, Syntax)
{
    struct Row {
        const char *expression, *fault;
    };
    const Row rows[] = {
        {"other_ip in file", "column 17: expected '(' after file: end of expression"},
        {"other_ip in file 'x'", "column 18: expected '(' after file: 'x'"},
        {"other_ip in file(x)", "column 18: expected a file name in quotes: x"},
        {"other_ip in file('x'", "column 21: expected ')': end of expression"},
        {"other_ip in files('x')", "column 13: expected '[': files"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.expression);
        try {
            parser.Parse(FlowTo("10.0.0.1"), {}, row.expression);
            ADD_FAILURE() << "accepted";
        } catch (const std::string &fault) {
            EXPECT_EQ(fault, row.fault);
        }
    }
}
} // namespace
