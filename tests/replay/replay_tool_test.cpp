// The tfa-replay program as an operator runs it: exit codes, messages, and what a replay of the
// examples leaves behind.
#include "host/json.hpp"
#include "support/temp_dir.hpp"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
const std::string tool = std::string(TFA_BINARY_DIR) + "/bin/tfa-replay";
const std::string examples = std::string(TFA_SOURCE_DIR) + "/examples";

std::string Read(const std::string &path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

void Write(const std::string &path, const std::string &text)
{
    std::ofstream(path) << text;
}

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

// A scratch folder holding the examples (linked) and build/demo/logs, which the example
// configuration writes to, so that the tool runs there as `make demo` runs in the repository.
class ReplayTool : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(symlink(examples.c_str(), (dir + "/examples").c_str()), 0);
        for (const char *sub : {"/build", "/build/demo", "/build/demo/logs"})
            ASSERT_EQ(mkdir((dir + sub).c_str(), 0755), 0);
    }

    Outcome Tool(const std::string &arguments)
    {
        std::string command = "cd '" + dir + "' && '" + tool + "' " + arguments + " >'" + dir +
                              "/out' 2>'" + dir + "/err'";
        int status = system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Read(dir + "/out"),
                Read(dir + "/err")};
    }

    TempDir scratch{"tfa-replay-test"};
    const std::string dir = scratch.path;
};

TEST_F(ReplayTool, ReplaysTheExamples)
{
    Outcome run = Tool("run -c examples/flow-actions.json -a examples/applications.json "
                       "--threads 3 --sink events=events.jsonl --summary-json summary.json "
                       "examples/flows.jsonl");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("\u2139 flows: 226 / 226, queued: "), std::string::npos) << run.out;

    json summary = json::parse(Read(dir + "/summary.json"));
    json status = summary["status"];
    status.erase("flows_queued"); // the last batch's size depends on timing
    EXPECT_EQ(status, json::parse(R"({"actions": 5, "actions_enabled": 5, "flows": 226,
        "flows_priv": 226, "flows_dropped": 0, "global_exemptions": 2, "load_faults": 0, "targets": 7,
        "targets_enabled": 6})"));
    EXPECT_EQ(summary["matches"], json::parse(R"({
        "p2p": {"log_entries": 9, "sink_payloads": 0},
        "streaming": {"log_entries": 0, "sink_payloads": 25},
        "threat-intel": {"log_entries": 1, "sink_payloads": 1},
        "tls-watch": {"log_entries": 29, "sink_payloads": 29},
        "wan-ssh": {"log_entries": 2, "sink_payloads": 0}})"));
    EXPECT_EQ(summary["pf_tables"], json::parse(R"({
        "streaming_clients": ["192.168.10.10", "192.168.10.21", "192.168.10.30", "192.168.10.33",
            "192.168.10.35", "192.168.10.37", "192.168.10.38", "192.168.10.44", "fd00:10::a",
            "fd00:10::1e", "fd00:10::22", "fd00:10::27", "fd00:10::2d"],
        "tarvix/p2p": ["198.51.100.128", "198.51.100.157", "198.51.100.179", "198.51.100.215",
            "2001:db8:100::a9"],
        "tarvix/threats": ["198.51.100.102"]})"));
    EXPECT_EQ(summary["sinks"], json::parse(R"({"audit": 1, "events": 54})"));
    EXPECT_EQ(summary["skipped_lines"], 0);

    // The log files the summary names hold the matches it counts.
    size_t entries = 0;
    ASSERT_FALSE(summary["log_files"].empty());
    for (const auto &path : summary["log_files"]) {
        EXPECT_EQ(path.get<std::string>().rfind("build/demo/logs/matches-", 0), 0u) << path;
        entries += json::parse(Read(dir + "/" + path.get<std::string>()))["entries"].size();
    }
    EXPECT_EQ(entries, 41u);
    EXPECT_EQ(Lines(Read(dir + "/events.jsonl")).size(), 54u);
}

// Payloads a sink recorded replay into the same flows: every payload of the second run carries
// the flow, interface and reason of the recorded event it came from.
TEST_F(ReplayTool, SinkPayloadsReplay)
{
    const std::string common = "run --linger 0 -c examples/flow-actions.json "
                               "-a examples/applications.json ";
    ASSERT_EQ(Tool(common + "--sink events=first.jsonl examples/flows.jsonl").status, 0);
    Outcome again =
        Tool(common + "--sink events=second.jsonl --summary-json second.json first.jsonl");
    ASSERT_EQ(again.status, 0) << again.err;
    // Events that two actions sent to the sink were recorded twice, and replay twice. Without
    // lingering, the run still waits for the worker to finish its last batch.
    EXPECT_EQ(json::parse(Read(dir + "/second.json"))["sinks"]["events"], 68);

    std::map<std::string, json> recorded;
    auto key = [](const json &payload) {
        return payload["type"].get<std::string>() + " " +
               payload["flow"]["digest"].get<std::string>() + " " +
               payload["flow"]["last_seen_at"].dump();
    };
    for (const auto &line : Lines(Read(dir + "/first.jsonl"))) {
        json payload = json::parse(line);
        recorded[key(payload)] = payload;
    }
    auto replayed = Lines(Read(dir + "/second.jsonl"));
    EXPECT_EQ(replayed.size(), 68u);
    for (const auto &line : replayed) {
        json payload = json::parse(line);
        SCOPED_TRACE(key(payload));
        ASSERT_EQ(recorded.count(key(payload)), 1u);
        const json &source = recorded[key(payload)];
        for (const char *member : {"flow", "interface", "internal", "reason"})
            EXPECT_EQ(payload.value(member, json()), source.value(member, json())) << member;
    }
}

TEST_F(ReplayTool, CheckReportsThePluginsMessages)
{
    struct Row {
        const char *name;
        const char *config; // null: no file at all
        const char *extra;
        int status;
        const char *last_line;
    };
    const Row rows[] = {
        {"missing file", nullptr, "", 1,
         "flow-actions: Error loading configuration: conf.json: No such file or directory"},
        {"not JSON", "{\"targets\": ", "", 1,
         "flow-actions: Error loading configuration: conf.json: JSON parse error"},
        {"unknown target type", R"({"targets": {"t1": {"target_type": "bogus"}}})", "", 1,
         "flow-actions: t1: invalid target type: bogus"},
        {"action without criteria",
         R"({"targets": {"l": {"target_type": "log"}}, "actions": {"a1": {"targets": ["l"]}}})", "",
         1, "a1: required string parameters missing: criteria"},
        {"empty application criteria",
         R"({"targets": {"l": {"target_type": "log"}},
             "actions": {"a1": {"criteria": "ai:", "targets": ["l"]}}})",
         "", 1, "a1: ai:"},
        {"pf device the host lacks", R"({"target_globals": {"pftable": {"device": "/dev/pf1"}}})",
         "", 1,
         "void tfaTargetPFtableConfig::SetDevice(const std::string &): /dev/pf1: No such file "
         "or directory"},
        {"pf device registered", R"({"target_globals": {"pftable": {"device": "/dev/pf1"}}})",
         "--pf-device /dev/pf1", 0,
         "flow-actions: Loaded 0/0 action(s), 0/0 target(s), 0 global exemption(s)."},
        {"tag names the messages", "{\"targets\": ", "--tag fa9", 1,
         "fa9: Error loading configuration: conf.json: JSON parse error"},
        {"variable expands a criteria path",
         R"({"targets": {"l": {"target_type": "log"}},
             "actions": {"a1": {"criteria": "${dir}/rules", "targets": ["l"]}}})",
         "--var dir=. ", 0,
         "flow-actions: Loaded 1/1 action(s), 1/1 target(s), 0 global exemption(s)."},
    };
    Write(dir + "/rules", "pi:dns\n");
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        unlink((dir + "/conf.json").c_str());
        if (row.config != nullptr)
            Write(dir + "/conf.json", row.config);
        Outcome check = Tool(std::string("check -c conf.json ") + row.extra);
        EXPECT_EQ(check.status, row.status);
        std::vector<std::string> lines = Lines(check.err);
        ASSERT_FALSE(lines.empty());
        // A successful load ends with the plug-in being destroyed; the summary line comes first.
        if (row.status == 0)
            EXPECT_NE(std::find(lines.begin(), lines.end(), row.last_line), lines.end())
                << check.err;
        else
            EXPECT_EQ(lines.back(), row.last_line) << check.err;
    }
}

// check reported such a file as loaded although it would not do what it says: a bad expression
// (which also starved every later action), unknown names (a negated one matching every flow), a
// bad line of a criteria file, a bad exemption. It exits 1 and names every fault, and run still
// replays the file as the agent would run it.
TEST_F(ReplayTool, CheckFailsOnFaultsTheLoadKeeps)
{
    Write(dir + "/rules", "pi:dns\r\nbogus ==\n");
    Write(dir + "/conf.json", R"({
        "targets": {"l": {"target_type": "log", "path": "."}},
        "actions": {
            "expr": {"criteria": "bogus == 1", "targets": "l", "priority": 0},
            "proto": {"criteria": ["pi:dnss", "pi:!nosuch"], "targets": "l"},
            "app": {"criteria": "ai:!nosuch", "targets": "l", "exemptions": "ip_protocol =="},
            "file": {"criteria": "rules", "targets": "l"}
        },
        "exemptions": ["other_ip =="]
    })");
    Outcome check = Tool("check -c conf.json -a examples/applications.json");
    EXPECT_EQ(check.status, 1);
    for (const char *fault :
         {"expr: criteria parse error: \"bogus == 1\": ", "proto: Invalid protocol: dnss",
          "proto: Invalid protocol: nosuch", "app: Invalid application: nosuch",
          "app: exemption parse error: \"ip_protocol ==\": ",
          "file: rules:2: criteria parse error: \"bogus ==\": ",
          "flow-actions: exemption parse error: \"other_ip ==\": ",
          "flow-actions: 7 fault(s) above; the configuration would not do what it says"}) {
        SCOPED_TRACE(fault);
        EXPECT_NE(check.err.find(fault), std::string::npos) << check.err;
    }
    EXPECT_EQ(check.err.find("file: rules:1"), std::string::npos) << check.err;
    Outcome run = Tool("run -c conf.json -a examples/applications.json examples/flows.jsonl");
    EXPECT_EQ(run.status, 0) << run.err;
}

TEST_F(ReplayTool, CheckPassesTheExample)
{
    Outcome check = Tool("check -c examples/flow-actions.json -a examples/applications.json");
    EXPECT_EQ(check.status, 0);
    EXPECT_NE(check.err.find("flow-actions: Loaded 5/5 action(s), 6/7 target(s), 2 global "
                             "exemption(s).\n"),
              std::string::npos)
        << check.err;
}

// A configuration that does not load stops the run before any event is replayed.
TEST_F(ReplayTool, RunStopsOnABrokenConfiguration)
{
    Write(dir + "/conf.json", R"({"targets": {"t1": {"target_type": "bogus"}}})");
    Outcome run = Tool("run -c conf.json examples/flows.jsonl");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "flow-actions: t1: invalid target type: bogus\n");
}

TEST_F(ReplayTool, RefusesAWrongAbiRecord)
{
    struct Row {
        const char *library;
        const char *fault;
    };
    const Row rows[] = {
        {"libtfa-bad-abi-magic.so", "td_plugin_abi: magic: expected \"BAPT\""},
        {"libtfa-bad-abi-length.so", "td_plugin_abi: length: 28, expected 32"},
        {"libtfa-bad-abi-version.so", "td_plugin_abi: host version: 14, expected 15"},
    };
    // check loads the same library as run, so it refuses the same records.
    const char *commands[] = {"run --linger 0 -c conf.json -", "check -c conf.json"};
    Write(dir + "/conf.json", "{}");
    for (const auto &row : rows) {
        for (const char *command : commands) {
            SCOPED_TRACE(std::string(row.library) + ": " + command);
            std::string library = std::string(TFA_BINARY_DIR) + "/bin/" + row.library;
            Outcome outcome = Tool(std::string(command) + " --plugin '" + library + "'");
            EXPECT_EQ(outcome.status, 1);
            EXPECT_EQ(outcome.out, "");
            EXPECT_EQ(outcome.err, library + ": " + row.fault + "\n");
        }
    }
}

// Without lingering, a run still ends only after the plug-in has processed every event: a log
// target that writes on every pass has written the last batch, and the sink has every payload.
TEST_F(ReplayTool, EndWaitsForThePlugin)
{
    Write(dir + "/conf.json", R"({
        "targets": {
            "all-log": {"target_type": "log", "path": "build/demo/logs", "prefix": "all",
                        "interval": 0},
            "all-sink": {"target_type": "sink", "sink": "events", "flow_events": "all"}},
        "actions": {"every": {"criteria": "*", "targets": ["all-log", "all-sink"]}}})");
    Outcome run = Tool("run --linger 0 -c conf.json --sink events=events.jsonl "
                       "--summary-json s.json examples/flows.jsonl");
    ASSERT_EQ(run.status, 0) << run.err;
    json summary = json::parse(Read(dir + "/s.json"));
    size_t entries = 0;
    for (const auto &path : summary["log_files"])
        entries += json::parse(Read(dir + "/" + path.get<std::string>()))["entries"].size();
    // Every event the plug-in took matched the one action.
    const size_t taken = 226;
    EXPECT_EQ(summary["status"]["flows"], taken);
    EXPECT_EQ(entries, taken);
    EXPECT_EQ(summary["sinks"]["events"], taken);
    EXPECT_EQ(Lines(Read(dir + "/events.jsonl")).size(), taken);
}

// Host updates go on while a run lingers, so a pf address whose lifetime ends then leaves its
// table; without lingering it is still there at the end.
TEST_F(ReplayTool, PfLifetimeEndsWhileLingering)
{
    struct Row {
        const char *linger;
        json addresses;
    };
    const Row rows[] = {
        {"0", json::array({"192.0.2.7"})},
        {"4", json::array()},
    };
    Write(dir + "/conf.json", R"({
        "target_globals": {"pftable": {"device": "/dev/pf"}},
        "targets": {"short": {"target_type": "pftable", "table_name": "short", "managed": true,
                              "ttl": 1}},
        "actions": {"every": {"criteria": "*", "targets": "short"}}})");
    Write(dir + "/flows.jsonl", R"({"type": "flow_dpi_complete", "interface": "em0", )"
                                R"("internal": true, "flow": {"ip_protocol": 6, )"
                                R"("other_ip": "192.0.2.7", "other_port": 443}})"
                                "\n");
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string("linger ") + row.linger);
        Outcome run = Tool(std::string("run --update-interval 0.2 --linger ") + row.linger +
                           " -c conf.json --summary-json s.json flows.jsonl");
        ASSERT_EQ(run.status, 0) << run.err;
        json tables = json::parse(Read(dir + "/s.json"))["pf_tables"];
        EXPECT_EQ(tables.value("short", json::array()), row.addresses) << tables;
    }
}

// A run whose output is incomplete must not look done.
TEST_F(ReplayTool, LostSinkRecordsFailTheRun)
{
    Outcome run = Tool("run --linger 0 -c examples/flow-actions.json -a examples/applications.json "
                       "--sink events=/dev/full --summary-json s.json examples/flows.jsonl");
    EXPECT_EQ(run.status, 1) << run.err;
    json summary = json::parse(Read(dir + "/s.json"));
    const json lost = summary["lost_records"]["events"];
    ASSERT_TRUE(lost.is_number_unsigned()) << summary.dump();
    EXPECT_EQ(lost, summary["sinks"]["events"]);
    EXPECT_NE(run.err.find(lost.dump() + " sink records lost\n"), std::string::npos) << run.err;
    EXPECT_NE(run.out.find("  events: " + lost.dump() + " records lost"), std::string::npos)
        << run.out;
}

TEST_F(ReplayTool, MalformedLinesAreSkipped)
{
    Write(dir + "/conf.json", "{}");
    Write(dir + "/flows.jsonl", "{\"type\": \"flow\", \"flow\": {}}\n"
                                "{\"type\": \"flow\", \"flow\": {\"other_port\": 70000}}\n"
                                "{\"type\": \"update\"}\n");
    Outcome run = Tool("run --linger 0 -c conf.json --summary-json s.json flows.jsonl");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("flows.jsonl:2: flow.other_port: expected an unsigned number up to "
                           "65535: 70000\n"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.out.find("skipped lines: 1\n"), std::string::npos) << run.out;
    json summary = json::parse(Read(dir + "/s.json"));
    EXPECT_EQ(summary["skipped_lines"], 1);
    EXPECT_EQ(summary["status"]["flows"], 1);
}

TEST_F(ReplayTool, UsageAndInputFaults)
{
    struct Row {
        const char *arguments;
        int status;
        const char *message; // the start of standard error
    };
    Write(dir + "/conf.json", "{}");
    const Row rows[] = {
        {"run examples/flows.jsonl", 2, "--config is required"},
        {"run -c conf.json --threads 0 -", 2, "--threads: Value 0 not in range 1 to 256"},
        {"run -c conf.json nowhere.jsonl", 1, "nowhere.jsonl: No such file or directory\n"},
        {"run -c conf.json --sink events -", 1, "--sink: expected NAME=PATH: events\n"},
        {"run -c conf.json --var x -", 1, "--var: expected NAME=VALUE: x\n"},
        {"run -c conf.json -a nowhere.json -", 1, "nowhere.json: No such file or directory\n"},
        {"bogus", 2, "A subcommand is required"},
        {"pcap -c conf.json nowhere.pcap", 1, "nowhere.pcap: No such file or directory\n"},
        {"pcap -c conf.json --local-net 10.0.0.0/40 examples/capture.pcap", 1,
         "--local-net: expected an address and prefix length: 10.0.0.0/40\n"},
        {"pcap -c conf.json --write-flows nowhere/flows.jsonl examples/capture.pcap", 1,
         "--write-flows: nowhere/flows.jsonl: No such file or directory\n"},
        {"pcap -c conf.json", 2, "CAPTURE is required"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.arguments);
        Outcome outcome = Tool(row.arguments);
        EXPECT_EQ(outcome.status, row.status);
        EXPECT_EQ(outcome.err.rfind(row.message, 0), 0u) << outcome.err;
    }
}

TEST_F(ReplayTool, GenerateIsRepeatable)
{
    Outcome first = Tool("generate --count 40 --seed 9");
    Outcome second = Tool("generate --count 40 --seed 9");
    ASSERT_EQ(first.status, 0);
    EXPECT_EQ(first.out, second.out);
    EXPECT_EQ(Lines(first.out).size(), 40u);
}
// The shipped capture through the example configuration: the TLS 1.2 connection to a
// self-signed server is the one flow its criteria pick, and the flows the capture gives,
// written as a replay file, replay to the same results.
TEST_F(ReplayTool, ReplaysTheShippedCapture)
{
    const std::string common = "-c examples/flow-actions.json -a examples/applications.json ";
    Outcome pcap = Tool("pcap " + common +
                        "--sink events=events.jsonl --summary-json summary.json "
                        "--write-flows flows.jsonl examples/capture.pcap");
    ASSERT_EQ(pcap.status, 0) << pcap.err;
    EXPECT_NE(pcap.out.find("read 84 packets (6 not of a flow) from 1 capture(s) into 8 flows, "
                            "8 live at most, in "),
              std::string::npos)
        << pcap.out;

    json summary = json::parse(Read(dir + "/summary.json"));
    EXPECT_EQ(summary["status"]["flows"], 24);
    EXPECT_EQ(summary["matches"],
              json::parse(R"({"tls-watch": {"log_entries": 2, "sink_payloads": 2}})"));
    EXPECT_EQ(summary["sinks"], json::parse(R"({"events": 2})"));
    for (const auto &line : Lines(Read(dir + "/events.jsonl")))
        EXPECT_EQ(json::parse(line)["flow"]["ssl"]["client_sni"], "www.tarvix.test") << line;
    ASSERT_EQ(Lines(Read(dir + "/flows.jsonl")).size(), 24u);

    Outcome run = Tool("run " + common + "--summary-json again.json flows.jsonl");
    ASSERT_EQ(run.status, 0) << run.err;
    json again = json::parse(Read(dir + "/again.json"));
    for (const char *member : {"matches", "pf_tables", "sinks"})
        EXPECT_EQ(again[member], summary[member]) << member;
    EXPECT_EQ(again["status"]["flows"], summary["status"]["flows"]);
}

// A capture cut short still gives the flows read before the cut, and the run fails; a capture
// read from standard input is read whole.
TEST_F(ReplayTool, CaptureFaultsAndStandardInput)
{
    std::string capture = Read(examples + "/capture.pcap");
    Write(dir + "/cut.pcap", capture.substr(0, 5000));
    Write(dir + "/conf.json", "{}");
    Outcome cut = Tool("pcap --linger 0 -c conf.json cut.pcap");
    EXPECT_EQ(cut.status, 1);
    EXPECT_NE(cut.err.find("cut.pcap: packet 20: truncated dump file"), std::string::npos)
        << cut.err;
    EXPECT_NE(cut.out.find("read 19 packets (4 not of a flow) from 1 capture(s) into 5 flows"),
              std::string::npos)
        << cut.out;

    Outcome piped = Tool("pcap --linger 0 -c conf.json - < examples/capture.pcap");
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_NE(piped.out.find("read 84 packets (6 not of a flow) from 1 capture(s) into 8 flows"),
              std::string::npos)
        << piped.out;
}
} // namespace
