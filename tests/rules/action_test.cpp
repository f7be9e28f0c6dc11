#include "plugin/test_plugin.hpp"
#include "rules/action.hpp"
#include "support/capture.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

namespace
{
constexpr unsigned SEQUENCE = 65536;
constexpr uint32_t APP_GOOGLE = 10, APP_APPLE = 30, PROTO_DNS = 5, PROTO_TLS = 91;

// Monday 5 January 1970 at the given time, as a time value.
int64_t Monday(int hour, int minute)
{
    return 4 * 86400 + hour * 3600 + minute * 60;
}

class Action : public ::testing::Test
{
protected:
    Action() : plugin("/nonexistent.json", journal)
    {
        plugin.AddTarget("t1");
        plugin.AddTarget("t2");
        plugin.SetNow(Monday(12, 0));
    }

    std::shared_ptr<tfaAction> Create(const json &config, unsigned priority = SEQUENCE)
    {
        return tfaAction::Create(&plugin, "a1", priority, config);
    }

    // The result of one flow event through an action built from `config`.
    int Run(const json &config, std::shared_ptr<tdFlow> flow,
            tdPluginProcessor::Event event = tdPluginProcessor::EVENT_DPI_COMPLETE)
    {
        tdFlowParams params;
        return Create(config)->ProcessFlow(event, flow, params);
    }

    // The exception text Create throws for `config`, whatever its type.
    std::string CreateFault(const json &config)
    {
        try {
            Create(config);
        } catch (const tdException &e) {
            return std::string("tdException: ") + e.what();
        } catch (const json::exception &e) {
            return std::string("json: ") + e.what();
        } catch (const std::string &text) {
            return "string: " + text;
        }
        return "accepted";
    }

    HostEnvironment host;
    Journal journal;
    TestPlugin plugin;
    TempDir scratch;
};

TEST_F(Action, CreateFaults)
{
    const json base = {{"criteria", "*"}, {"targets", {"t1"}}};
    auto with = [&base](const json &changes) {
        json config = base;
        config.merge_patch(changes);
        return config;
    };
    struct Row {
        const char *name;
        json config;
        const char *fault;
    };
    const Row rows[] = {
        {"priority of the wrong type", with({{"priority", "high"}}),
         "tdException: a1: invalid unsigned parameter type: priority"},
        {"priority above 65535", with({{"priority", 65536 + 1}}),
         "tdException: a1: priority invalid; > 65535"},
        {"negative priority", with({{"priority", -1}}),
         "tdException: a1: priority invalid; > 65535"},
        {"priority far out of range", with({{"priority", 4294967296ull + 5}}),
         "tdException: a1: priority invalid; > 65535"},
        {"interface of the wrong type", with({{"interface", 5}}),
         "tdException: a1: invalid string parameter type: interface"},
        {"criteria missing", json{{"targets", {"t1"}}},
         "tdException: a1: required string parameters missing: criteria"},
        {"criteria of the wrong type", with({{"criteria", 5}}),
         "tdException: a1: invalid string or array parameter type: criteria"},
        {"criteria element of the wrong type", with({{"criteria", {"*", 5}}}),
         "json: [json.exception.type_error.302] type must be string, but is number"},
        // These plain-string faults did not name the action.
        {"empty criteria", with({{"criteria", ""}}),
         "tdException: a1: invalid criteria (zero-length)"},
        {"prefix without value", with({{"criteria", "ai:"}}), "tdException: a1: ai:"},
        {"window that is not an object", with({{"time_of_day", {"08:00"}}}),
         "tdException: a1: invalid time_of_day: time window must be an object, not: string"},
        {"window member of the wrong type", with({{"time_of_day", {{{"start", 8}}}}}),
         "tdException: a1: invalid time_of_day: start must be a string, not: number"},
        {"window that makes no sense", with({{"time_of_day", {{{"start", "25:00"}}}}}),
         "tdException: a1: invalid time_of_day: 00:00-23:59 all policy 0 (start is not a time "
         "(HH:MM): 25:00)"},
        {"second window bad", with({{"time_of_day", {json::object(), {{"days", json::array()}}}}}),
         "tdException: a1: invalid time_of_day: 00:00-23:59 none policy 0 (no days)"},
        {"targets missing", json{{"criteria", "*"}},
         "tdException: a1: required array parameter missing: targets"},
        {"target name of the wrong type", with({{"targets", {"t1", 7}}}),
         "tdException: a1: target name must be a string, not: number"},
        {"targets as an object", with({{"targets", {{"t1", true}}}}),
         "tdException: a1: target name must be a string, not: object"},
        {"unknown target", with({{"targets", {"t1", "nope"}}}),
         "tdException: a1: target not found: nope"},
        {"no targets", with({{"targets", json::array()}}),
         "tdException: a1: action disabled, no associated targets found.\n"},
        {"exemption of the wrong type", with({{"exemptions", {"10.0.0.1", true}}}),
         "tdException: a1: exemptions must be a string, not: boolean"},
        {"empty exemption", with({{"exemptions", {""}}}),
         "tdException: a1: Exemption criteria can not be zero-length"},
        {"halt_on_match of the wrong type", with({{"halt_on_match", "yes"}}),
         "tdException: a1: invalid bool parameter type: halt_on_match"},
        // Keys are read in a fixed order: the first bad one decides.
        {"priority before interface", json{{"priority", "x"}, {"interface", 5}},
         "tdException: a1: invalid unsigned parameter type: priority"},
        {"interface before criteria", json{{"interface", 5}},
         "tdException: a1: invalid string parameter type: interface"},
        {"criteria before windows", json{{"criteria", 1}, {"time_of_day", {1}}},
         "tdException: a1: invalid string or array parameter type: criteria"},
        {"windows before targets", json{{"criteria", "*"}, {"time_of_day", {1}}},
         "tdException: a1: invalid time_of_day: time window must be an object, not: number"},
        {"targets before exemptions", json{{"criteria", "*"}, {"exemptions", {1}}},
         "tdException: a1: required array parameter missing: targets"},
        {"exemptions before halt_on_match", with({{"exemptions", {1}}, {"halt_on_match", 1}}),
         "tdException: a1: exemptions must be a string, not: number"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(CreateFault(row.config), row.fault);
    }
}

TEST_F(Action, Priority)
{
    struct Row {
        const char *name;
        json config;
        unsigned supplied;
        uint32_t priority;
    };
    const Row rows[] = {
        {"default", json::object(), 65537, 65537},
        {"explicit", {{"priority", 10}}, 65537, 10},
        {"zero", {{"priority", 0}}, 65537, 0},
        {"highest explicit", {{"priority", 65535}}, 65537, 65535},
        {"equal to the supplied default", {{"priority", 70000}}, 70000, 70000},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        json config = row.config;
        config["criteria"] = "*";
        config["targets"] = "t1";
        EXPECT_EQ(Create(config, row.supplied)->priority, row.priority);
    }
}

TEST_F(Action, Tags)
{
    struct Row {
        const char *name;
        json tags;
        json expected;
        bool ignored;
    };
    const Row rows[] = {
        {"absent", nullptr, json::object(), false},
        {"object copied",
         {{"site", "berlin"}, {"level", 3}},
         {{"site", "berlin"}, {"level", 3}},
         false},
        {"array of strings",
         {"vip", "site:berlin", "url:http://x", ":empty-key", 5, nullptr},
         {{"vip", true}, {"site", "berlin"}, {"url", "http://x"}, {"", "empty-key"}},
         false},
        {"later element wins", {"a:1", "a"}, {{"a", true}}, false},
        {"string ignored", "vip", json::object(), true},
        {"number ignored", 7, json::object(), true},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        json config = {{"criteria", "*"}, {"targets", "t1"}};
        if (!row.tags.is_null())
            config["tags"] = row.tags;
        LogCapture capture;
        EXPECT_EQ(Create(config)->tags, row.expected);
        EXPECT_EQ(capture.Contains("a1: 'tags' must be an object or array of strings. Ignoring.\n"),
                  row.ignored);
    }
}

TEST_F(Action, ProcessFlowResults)
{
    auto dns = [] { return MakeFlow(0, PROTO_DNS); };
    struct Row {
        const char *name;
        json config;
        std::shared_ptr<tdFlow> flow;
        int result;
        size_t calls;
    };
    const Row rows[] = {
        {"match", {{"criteria", "*"}}, dns(), tfaAction::AR_MATCH, 1},
        {"halt", {{"criteria", "*"}, {"halt_on_match", true}}, dns(), tfaAction::AR_HALT, 1},
        {"no criteria matches",
         {{"criteria", {"pi:tls", "ai:tarvix.google"}}},
         dns(),
         tfaAction::AR_NO_MATCH,
         0},
        {"second criteria matches",
         {{"criteria", {"pi:tls", "pi:dns"}}},
         dns(),
         tfaAction::AR_MATCH,
         1},
        {"application criteria",
         {{"criteria", "ai:google"}},
         MakeFlow(APP_GOOGLE),
         tfaAction::AR_MATCH,
         1},
        {"expression criteria",
         {{"criteria", "detected_protocol == 91"}},
         MakeFlow(0, PROTO_TLS),
         tfaAction::AR_MATCH,
         1},
        {"empty criteria array", {{"criteria", json::array()}}, dns(), tfaAction::AR_NO_MATCH, 0},
        {"exempt address",
         {{"criteria", "*"}, {"exemptions", "93.184.216.34"}},
         dns(),
         tfaAction::AR_EXEMPT,
         0},
        {"other exemption",
         {{"criteria", "*"}, {"exemptions", {"10.9.9.9"}}},
         dns(),
         tfaAction::AR_MATCH,
         1},
        {"interface lan", {{"criteria", "*"}, {"interface", "lan"}}, dns(), tfaAction::AR_MATCH, 1},
        {"interface wan on a lan flow",
         {{"criteria", "*"}, {"interface", "wan"}},
         dns(),
         tfaAction::AR_NO_MATCH,
         0},
        {"interface wan",
         {{"criteria", "*"}, {"interface", "wan"}},
         MakeFlow(0, 0, "ppp0", tdFlow::ROLE_WAN),
         tfaAction::AR_MATCH,
         1},
        {"interface by name",
         {{"criteria", "*"}, {"interface", "eth0"}},
         dns(),
         tfaAction::AR_MATCH,
         1},
        {"interface name is case-sensitive",
         {{"criteria", "*"}, {"interface", "ETH0"}},
         dns(),
         tfaAction::AR_NO_MATCH,
         0},
        {"interface beginning with an asterisk",
         {{"criteria", "*"}, {"interface", "*eth9"}},
         dns(),
         tfaAction::AR_MATCH,
         1},
        {"empty interface", {{"criteria", "*"}, {"interface", ""}}, dns(), tfaAction::AR_MATCH, 1},
        {"inside the window",
         {{"criteria", "*"}, {"time_of_day", {{{"start", "11:00"}}}}},
         dns(),
         tfaAction::AR_MATCH,
         1},
        {"outside the window",
         {{"criteria", "*"}, {"time_of_day", {{{"start", "13:00"}, {"end", "14:00"}}}}},
         dns(),
         tfaAction::AR_OUTSIDE_TIME,
         0},
        {"outside time comes before interface and exemptions",
         {{"criteria", "pi:tls"},
          {"interface", "wan"},
          {"exemptions", "192.168.1.10"},
          {"time_of_day", {{{"days", {"sun"}}}}}},
         dns(),
         tfaAction::AR_OUTSIDE_TIME,
         0},
        {"one of two windows",
         {{"criteria", "*"},
          {"time_of_day",
           {{{"start", "08:00"}, {"end", "09:00"}}, {{"start", "12:00"}, {"end", "12:00"}}}}},
         dns(),
         tfaAction::AR_MATCH,
         1},
        {"window as an object is ignored",
         {{"criteria", "*"}, {"time_of_day", {{"start", "13:00"}, {"end", "14:00"}}}},
         dns(),
         tfaAction::AR_MATCH,
         1},
        {"interface before exemptions",
         {{"criteria", "*"}, {"interface", "wan"}, {"exemptions", "192.168.1.10"}},
         dns(),
         tfaAction::AR_NO_MATCH,
         0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        json config = row.config;
        config["targets"] = "t1";
        journal.Clear();
        EXPECT_EQ(Run(config, row.flow), row.result);
        EXPECT_EQ(journal.Count(), row.calls);
    }
}

TEST_F(Action, MatchReachesEveryTargetOnceWithTheEvent)
{
    LogCapture capture;
    auto flow = MakeFlow(APP_GOOGLE);
    json config = {{"criteria", "*"}, {"targets", {"t2", "t1", "t2"}}, {"tags", {"vip"}}};
    EXPECT_EQ(Run(config, flow, tdPluginProcessor::EVENT_FLOW_EXPIRED), tfaAction::AR_MATCH);

    auto calls = journal.Calls();
    ASSERT_EQ(calls.size(), 2u);
    std::set<std::string> targets;
    for (const auto &call : calls) {
        targets.insert(call.target);
        EXPECT_EQ(call.action, "a1");
        EXPECT_EQ(call.event, tdPluginProcessor::EVENT_FLOW_EXPIRED);
        EXPECT_EQ(call.flow, flow);
        EXPECT_EQ(call.tags, json({{"vip", true}}));
    }
    EXPECT_EQ(targets, (std::set<std::string>{"t1", "t2"}));
    EXPECT_TRUE(capture.Contains("a1: matched.\n"));

    capture.Clear();
    config["halt_on_match"] = true;
    EXPECT_EQ(Run(config, flow), tfaAction::AR_HALT);
    EXPECT_TRUE(capture.Contains("a1: matched and halted.\n"));
}

TEST_F(Action, ExemptLogsAndSkipsTargets)
{
    LogCapture capture;
    json config = {{"criteria", "*"}, {"targets", "t1"}, {"exemptions", {"192.168.1.10"}}};
    EXPECT_EQ(Run(config, MakeFlow()), tfaAction::AR_EXEMPT);
    EXPECT_EQ(capture.DebugLines(), std::vector<std::string>{"a1: Exempt.\n"});
    EXPECT_EQ(journal.Count(), 0u);
}

// A criteria that faulted used to throw out of the action, so the worker dropped the flow for
// every later action and logged the fault on every flow; the action is skipped for that flow,
// the first fault logged with its name and every one counted.
TEST_F(Action, CriteriaFaultSkipsTheActionOnceLogged)
{
    auto action = Create({{"criteria", "detected_protocol =="}, {"targets", "t1"}});
    LogCapture capture;
    tdFlowParams params;
    for (int i = 0; i < 3; i++) {
        auto flow = MakeFlow();
        EXPECT_EQ(action->ProcessFlow(tdPluginProcessor::EVENT_DPI_COMPLETE, flow, params),
                  tfaAction::AR_NO_MATCH);
    }
    EXPECT_EQ(action->GetFaults(), 3u);
    auto lines = capture.LogLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("a1: criteria parse error: \"detected_protocol ==\": ", 0), 0u)
        << lines[0];
    EXPECT_EQ(journal.Count(), 0u);
}

// Faults that showed only on the first flow, or never (an unknown protocol name, negated or not,
// matched nothing or everything without a word), are reported at load with the action's name
// and, for a criteria file, its path and line; the action still loads.
TEST_F(Action, LoadReportsFaultsItKeeps)
{
    TempDir scratch{"tfa-action"};
    std::string file = scratch.Write("crit", "# list\npi:dns\nbogus ==\n");
    struct Row {
        const char *name;
        json criteria;
        json exemptions;
        std::vector<std::string> faults;
    };
    const Row rows[] = {
        {"unknown protocol", "pi:dnss", nullptr, {"a1: Invalid protocol: dnss"}},
        {"negated unknown protocol", "pi:!dnss", nullptr, {"a1: Invalid protocol: dnss"}},
        {"negated unknown application", "ai:!nosuch", nullptr,
         {"a1: Invalid application: nosuch"}},
        {"unknown protocol id", "pi:400", nullptr, {"a1: Invalid protocol ID: 400"}},
        {"expression", "bogus == 1", nullptr, {"a1: criteria parse error: \"bogus == 1\": "}},
        {"file line", file, nullptr,
         {"a1: " + file + ":3: criteria parse error: \"bogus ==\": "}},
        {"exemption", "*", "ip_protocol ==",
         {"a1: exemption parse error: \"ip_protocol ==\": "}},
        {"sound", json::array({"pi:dns", "ip_protocol == 6"}), "10.0.0.1", {}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        json config = {{"criteria", row.criteria}, {"targets", "t1"}};
        if (!row.exemptions.is_null())
            config["exemptions"] = row.exemptions;
        LogCapture capture;
        ASSERT_NE(Create(config), nullptr);
        const auto &faults = plugin.GetLoadFaults();
        ASSERT_EQ(faults.size(), row.faults.size());
        for (size_t i = 0; i < faults.size(); i++) {
            EXPECT_EQ(faults[i].rfind(row.faults[i], 0), 0u) << faults[i];
            EXPECT_TRUE(capture.Contains(faults[i] + "\n"));
        }
        plugin.ClearLoadFaults();
    }
}

// Criteria file lines written with CRLF or trailing blanks ("pi:dns\r", "pi:tls  ") named no
// protocol and silently never matched.
TEST_F(Action, CriteriaFileLinesLoseTrailingBlanks)
{
    TempDir scratch{"tfa-action"};
    std::string file = scratch.Write("crit", "pi:dns\r\n  pi:tls \t \r\n");
    auto action = Create({{"criteria", file}, {"targets", "t1"}});
    EXPECT_TRUE(plugin.GetLoadFaults().empty());
    tdFlowParams params;
    for (uint32_t protocol : {PROTO_DNS, PROTO_TLS}) {
        auto flow = MakeFlow(0, protocol);
        EXPECT_EQ(action->ProcessFlow(tdPluginProcessor::EVENT_DPI_COMPLETE, flow, params),
                  tfaAction::AR_MATCH);
    }
}

TEST_F(Action, FlowParametersReachTheCriteria)
{
    auto action = Create({{"criteria", "intel.score > 5"}, {"targets", "t1"}});
    auto flow = MakeFlow();
    tdFlowParams params = {{"intel", {{"score", 9}}}};
    EXPECT_EQ(action->ProcessFlow(tdPluginProcessor::EVENT_FLOW_INTEL, flow, params),
              tfaAction::AR_MATCH);
    params["intel"]["score"] = 1;
    EXPECT_EQ(action->ProcessFlow(tdPluginProcessor::EVENT_FLOW_INTEL, flow, params),
              tfaAction::AR_NO_MATCH);
}

TEST_F(Action, CriteriaFromFilesAndDirectories)
{
    scratch.Write("criteria.d/10-apps",
                  "# applications\n\n   ai:tarvix.google\n\t\n  # indented comment\n");
    scratch.Write("criteria.d/20-protocols", "pi:dns");
    scratch.Write("criteria.d/.hidden", "ai:tarvix.apple\n");
    scratch.Write("single.txt", "pi:tls\n");
    scratch.Dir("criteria.d/30-subdir");
    host.config.path_vars["criteria_dir"] = scratch.path;

    struct Row {
        const char *name;
        json criteria;
        std::vector<uint32_t> matching_apps;
        std::vector<uint32_t> matching_protocols;
    };
    const Row rows[] = {
        {"directory", scratch.path + "/criteria.d", {APP_GOOGLE}, {PROTO_DNS}},
        {"directory through a variable", "${criteria_dir}/criteria.d", {APP_GOOGLE}, {PROTO_DNS}},
        {"file", json::array({scratch.path + "/single.txt"}), {}, {PROTO_TLS}},
        {"file and text", {"${criteria_dir}/single.txt", "ai:apple"}, {APP_APPLE}, {PROTO_TLS}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        auto action = Create({{"criteria", row.criteria}, {"targets", "t1"}});
        tdFlowParams params;
        for (uint32_t app : {APP_GOOGLE, APP_APPLE}) {
            auto flow = MakeFlow(app, 0);
            bool expected = std::find(row.matching_apps.begin(), row.matching_apps.end(), app) !=
                            row.matching_apps.end();
            EXPECT_EQ(action->ProcessFlow(tdPluginProcessor::EVENT_DPI_COMPLETE, flow, params),
                      expected ? tfaAction::AR_MATCH : tfaAction::AR_NO_MATCH)
                << "application " << app;
        }
        for (uint32_t protocol : {PROTO_DNS, PROTO_TLS}) {
            auto flow = MakeFlow(0, protocol);
            bool expected = std::find(row.matching_protocols.begin(), row.matching_protocols.end(),
                                      protocol) != row.matching_protocols.end();
            EXPECT_EQ(action->ProcessFlow(tdPluginProcessor::EVENT_DPI_COMPLETE, flow, params),
                      expected ? tfaAction::AR_MATCH : tfaAction::AR_NO_MATCH)
                << "protocol " << protocol;
        }
    }
}

TEST_F(Action, CriteriaSourcesWithoutExpressions)
{
    scratch.Dir("empty.d");
    scratch.Write("comments.d/a", "# nothing\n\n");
    struct Row {
        const char *name;
        json criteria;
        size_t warnings;
    };
    const Row rows[] = {
        {"empty directory", scratch.path + "/empty.d", 1},
        {"only comments", scratch.path + "/comments.d", 1},
        {"empty file", scratch.Write("empty.txt", ""), 1},
        {"empty array", json::array(), 0},
        {"two empty sources", {scratch.path + "/empty.d", scratch.path + "/comments.d/a"}, 2},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        LogCapture capture;
        auto action = Create({{"criteria", row.criteria}, {"targets", "t1"}});
        auto lines = capture.Lines();
        EXPECT_EQ(std::count(lines.begin(), lines.end(),
                             "a1: WARNING: no criteria expressions defined.\n"),
                  static_cast<long>(row.warnings));
        auto flow = MakeFlow(APP_GOOGLE, PROTO_DNS);
        tdFlowParams params;
        EXPECT_EQ(action->ProcessFlow(tdPluginProcessor::EVENT_DPI_COMPLETE, flow, params),
                  tfaAction::AR_NO_MATCH);
    }
}

TEST_F(Action, UnexpandedTextIsTheExpression)
{
    // A text that names no file is used as written, variables and all.
    host.config.path_vars["app"] = "ai:tarvix.apple";
    auto action = Create({{"criteria", "${app}"}, {"targets", "t1"}});
    auto flow = MakeFlow(APP_APPLE);
    tdFlowParams params;
    EXPECT_EQ(action->ProcessFlow(tdPluginProcessor::EVENT_DPI_COMPLETE, flow, params),
              tfaAction::AR_NO_MATCH);
    EXPECT_EQ(action->GetFaults(), 1u);
}

// With no file descriptor left, the criteria file or directory exists but cannot be opened.
TEST_F(Action, CriteriaSourcesThatCannotBeOpened)
{
#ifdef __SANITIZE_ADDRESS__
    // The sanitizer runtime opens files of its own while checking, so it cannot run with the
    // descriptor table exhausted; the plain build covers this case.
    GTEST_SKIP() << "descriptor exhaustion starves the sanitizer runtime";
#endif
    std::string file = scratch.Write("c.txt", "*\n");
    std::string dir = scratch.Dir("c.d");
    struct Row {
        const char *name;
        std::string criteria;
        std::string fault;
    };
    const Row rows[] = {
        {"file", file,
         "tdException: a1: error opening criteria dot.d file: " + file + ": Too many open files"},
        {"directory", dir, "tdException: a1: error scanning criteria dot.d: " + dir},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        struct rlimit saved;
        ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
        int next = dup(0);
        ASSERT_GE(next, 0);
        close(next);
        struct rlimit tight = saved;
        tight.rlim_cur = static_cast<rlim_t>(next);
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
        std::string fault = CreateFault({{"criteria", row.criteria}, {"targets", "t1"}});
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
        EXPECT_EQ(fault, row.fault);
    }
}
// A criteria file was read whole, whatever its size; one far larger than any list is refused
// with its path and the reason, before anything is read.
TEST_F(Action, OversizedCriteriaFileIsRefused)
{
    std::string file = scratch.Write("huge.txt", "*\n");
    ASSERT_EQ(truncate(file.c_str(), 65 * 1024 * 1024), 0);
    EXPECT_EQ(CreateFault({{"criteria", file}, {"targets", "t1"}}),
              "tdException: a1: error opening criteria dot.d file: " + file +
                  ": larger than 67108864 bytes");
}

} // namespace
