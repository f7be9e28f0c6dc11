#include "plugin/test_plugin.hpp"
#include "support/capture.hpp"
#include "targets/pftable_config.hpp"

#include <gtest/gtest.h>

namespace
{
class Config : public ::testing::Test
{
protected:
    Config() : path(scratch.path + "/tfa.json"), plugin(path, journal) {}

    // Writes `text` as the configuration file and loads it as the worker does; the fault text, or
    // "" when the load succeeded.
    std::string Load(const std::string &text)
    {
        return ReloadFault(scratch, plugin, text);
    }

    std::vector<uint64_t> Counts() const
    {
        const auto &stats = plugin.Counters();
        return {stats.actions, stats.actions_enabled, stats.targets, stats.targets_enabled,
                stats.global_exemptions};
    }

    HostEnvironment host;
    Journal journal;
    TempDir scratch;
    std::string path;
    TestPlugin plugin;
};

TEST_F(Config, ActionOrder)
{
    struct Row {
        const char *name;
        const char *actions;
        std::vector<std::string> order;
    };
    const Row rows[] = {
        {"explicit priority first, then names",
         R"({"b": {}, "a": {}, "c": {"priority": 10}})",
         {"c", "a", "b"}},
        {"lowest explicit priority first",
         R"({"x": {"priority": 500}, "y": {"priority": 0}, "z": {}})",
         {"y", "x", "z"}},
        {"equal priorities keep name order",
         R"({"n2": {"priority": 7}, "n1": {"priority": 7}, "n3": {"priority": 7}})",
         {"n1", "n2", "n3"}},
        {"highest explicit priority still before defaults",
         R"({"a": {}, "b": {"priority": 65535}})",
         {"b", "a"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        json actions = json::parse(row.actions);
        for (auto &action : actions) {
            action["criteria"] = "*";
            action["targets"] = "t";
        }
        json config = {{"targets", {{"t", {{"target_type", "record"}}}}}, {"actions", actions}};
        ASSERT_EQ(Load(config.dump()), "");
        EXPECT_EQ(plugin.ActionOrder(), row.order);
    }
}

TEST_F(Config, CountersAndSummary)
{
    LogCapture capture;
    ASSERT_EQ(Load(R"({
        /* Every kind of entry the loaders count or skip. */
        "targets": {
            "t1": {"target_type": "record"},
            "t2": {"target_type": "record", "target_enabled": false},
            "t3": "not an object",
            "t4": {"target_type": "record", "target_enabled": "no"} // only false disables
        },
        "actions": {
            "a1": {"criteria": "*", "targets": ["t1"]},
            "a2": {"criteria": "*", "targets": "t4", "enabled": false},
            "a3": 42,
            "a4": {"criteria": "*", "targets": "t1", "enabled": true}
        },
        "exemptions": ["10.0.0.1", 1, "", "local_port == 22"]
    })"),
              "");
    EXPECT_EQ(Counts(), (std::vector<uint64_t>{4, 2, 4, 2, 2}));
    EXPECT_EQ(plugin.TargetNames(), (std::vector<std::string>{"t1", "t4"}));
    EXPECT_EQ(plugin.ActionOrder(), (std::vector<std::string>{"a1", "a4"}));
    EXPECT_EQ(plugin.ExemptionCount(), 2u);

    EXPECT_EQ(capture.LogLines(), (std::vector<std::string>{
                                      "fa0: t3: Invalid target type, must be an object.\n",
                                      "fa0: a3: Invalid action type, must be an object.\n",
                                      "fa0: Invalid exemption data-type: number\n",
                                      "fa0: Invalid exemption data-type: string\n",
                                  }));
    auto debug = capture.DebugLines();
    for (const char *line :
         {"fa0: t2: Target disabled, skipping...\n", "fa0: a2: Action disabled, skipping...\n",
          "fa0: Loaded 2/4 action(s), 2/4 target(s), 2 global exemption(s).\n"}) {
        SCOPED_TRACE(line);
        EXPECT_NE(std::find(debug.begin(), debug.end(), line), debug.end());
    }
    EXPECT_EQ(debug.front(), "fa0: Unloaded configuration.\n");
    EXPECT_EQ(debug[1], "fa0: Loading configuration: " + path + "\n");
    EXPECT_EQ(debug.back(), "fa0: Loaded 2/4 action(s), 2/4 target(s), 2 global exemption(s).\n");
}

TEST_F(Config, GlobalExemptionShapes)
{
    struct Row {
        const char *name;
        const char *exemptions;
        uint64_t loaded;
        std::vector<std::string> lines;
    };
    const Row rows[] = {
        {"single string", R"("10.0.0.1")", 1, {}},
        {"object values", R"({"x": "10.0.0.1", "y": "10.0.0.2"})", 2, {}},
        {"null", "null", 0, {}},
        {"empty string", R"([""])", 0, {"fa0: Invalid exemption data-type: string\n"}},
        {"number and string",
         R"([1, "10.0.0.1"])",
         1,
         {"fa0: Invalid exemption data-type: number\n"}},
        {"every other type",
         R"([null, {}, [], true, 2.5])",
         0,
         {"fa0: Invalid exemption data-type: null\n", "fa0: Invalid exemption data-type: object\n",
          "fa0: Invalid exemption data-type: array\n",
          "fa0: Invalid exemption data-type: boolean\n",
          "fa0: Invalid exemption data-type: number\n"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        LogCapture capture;
        ASSERT_EQ(Load(std::string(R"({"exemptions": )") + row.exemptions + "}"), "");
        EXPECT_EQ(plugin.Counters().global_exemptions, row.loaded);
        EXPECT_EQ(plugin.ExemptionCount(), row.loaded);
        EXPECT_EQ(capture.LogLines(), row.lines);
    }
}

TEST_F(Config, Faults)
{
    struct Row {
        const char *name;
        std::string config;
        std::string fault;
    };
    const Row rows[] = {
        {"parse error", R"({"actions": )",
         "fa0: Error loading configuration: " + path + ": JSON parse error"},
        {"unknown time zone", R"({"timezone": "Mars/Olympus"})",
         "fa0: error setting timezone: unknown time zone: Mars/Olympus: "
         "/usr/share/zoneinfo/Mars/Olympus: No such file or directory"},
        {"time zone name leaving the zone directory", R"({"timezone": "../../etc/passwd"})",
         "fa0: error setting timezone: invalid time zone name: ../../etc/passwd"},
        {"pf device of the wrong type", R"({"target_globals": {"pftable": {"device": 1}}})",
         "fa0: invalid string parameter type: device"},
        {"target type missing", R"({"targets": {"t": {}}})",
         "fa0: required string parameter not found: target_type"},
        {"target type of the wrong type", R"({"targets": {"t": {"target_type": ["log"]}}})",
         "fa0: invalid string parameter type: target_type"},
        {"unknown target type", R"({"targets": {"t": {"target_type": "bogus"}}})",
         "fa0: t: invalid target type: bogus"},
        {"targets not an object", R"({"targets": ["t"]})",
         "json: [json.exception.type_error.302] type must be object, but is array"},
        {"actions not an object", R"({"actions": "a"})",
         "json: [json.exception.type_error.302] type must be object, but is string"},
        {"enabled of the wrong type", R"({"actions": {"a": {"enabled": "yes"}}})",
         "fa0: invalid bool parameter type: enabled"},
        {"action fault passes through", R"({"actions": {"a": {"criteria": "*"}}})",
         "a: required array parameter missing: targets"},
        {"duplicate action",
         R"({"targets": {"t": {"target_type": "record"}},
             "actions": {"a": {"criteria": "*", "targets": "t"},
                         "a": {"criteria": "ai:google", "targets": "t"}}})",
         "a: duplicate action"},
        {"duplicate target",
         R"({"targets": {"t": {"target_type": "record"}, "t": {"target_type": "log"}}})",
         "t: duplicate target"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(Load(row.config), row.fault);
    }
}

// Repeated keys outside the action and target names used to load, the last one silently
// winning; every one is refused now.
TEST_F(Config, RepeatedKeysAnywhereAreRefused)
{
    EXPECT_EQ(Load(R"({
        "targets": {"t": {"target_type": "record"}},
        "actions": {"a": {"criteria": "*", "targets": "t", "tags": {"x": 1, "x": 2}}}
    })"),
              "fa0: Error loading configuration: " + path +
                  ": duplicate key \"x\" in /actions/a/tags");
    EXPECT_EQ(Load(R"({"exemptions": {"e": "10.0.0.1", "e": "10.0.0.2"}})"),
              "fa0: Error loading configuration: " + path + ": duplicate key \"e\" in /exemptions");
    EXPECT_TRUE(plugin.ActionOrder().empty());
    EXPECT_EQ(plugin.ExemptionCount(), 0u);
}

TEST_F(Config, FileThatCannotBeReadNamesTheCause)
{
    std::string fault;
    try {
        plugin.LoadConfig();
    } catch (const tdException &e) {
        fault = e.what();
    }
    EXPECT_EQ(fault, "fa0: Error loading configuration: " + path + ": No such file or directory");

    // The real cause is named, not a missing file.
    scratch.Dir("tfa.json");
    try {
        plugin.LoadConfig();
    } catch (const tdException &e) {
        fault = e.what();
    }
    EXPECT_EQ(fault, "fa0: Error loading configuration: " + path + ": Is a directory");
}

TEST_F(Config, ParseErrorDetailIsADebugLine)
{
    LogCapture capture;
    EXPECT_NE(Load("{\n  \"actions\": {,\n}"), "");
    auto debug = capture.DebugLines();
    ASSERT_GE(debug.size(), 1u);
    EXPECT_EQ(debug.back().rfind("fa0: " + path + ": [json.exception.parse_error.101] ", 0), 0u)
        << debug.back();
}

// On the first load, which has no previous configuration to keep, a fault leaves what was built
// before it (later reloads validate first; see the reload tests).
TEST_F(Config, FaultsKeepWhatWasInstalled)
{
    struct Row {
        const char *name;
        const char *config;
        std::vector<std::string> targets;
        std::vector<std::string> actions;
        std::vector<uint64_t> counts;
    };
    const Row rows[] = {
        {"later target fails",
         R"({"targets": {"a": {"target_type": "record"}, "b": {"target_type": "x"},
                         "c": {"target_type": "record"}}})",
         {"a"},
         {},
         {0, 0, 2, 1, 0}},
        {"one action fails",
         R"({"targets": {"t": {"target_type": "record"}},
             "actions": {"a": {"criteria": "*", "targets": "t"},
                         "b": {"criteria": "*", "targets": "gone"}},
             "exemptions": ["10.0.0.1"]})",
         {"t"},
         {},
         {2, 1, 1, 1, 0}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        LogCapture capture;
        TestPlugin first(path, journal);
        scratch.Write("tfa.json", row.config);
        EXPECT_THROW(first.Reload(), tdException);
        EXPECT_EQ(first.TargetNames(), row.targets);
        EXPECT_EQ(first.ActionOrder(), row.actions);
        const auto &stats = first.Counters();
        EXPECT_EQ((std::vector<uint64_t>{stats.actions, stats.actions_enabled, stats.targets,
                                         stats.targets_enabled, stats.global_exemptions}),
                  row.counts);
        auto debug = capture.DebugLines();
        EXPECT_EQ(std::count_if(debug.begin(), debug.end(),
                                [](const std::string &line) {
                                    return line.find(": Loaded ") != std::string::npos;
                                }),
                  0);
    }
}

TEST_F(Config, TopLevelOptions)
{
    struct Row {
        const char *name;
        const char *config;
        bool reprocess;
        const char *timezone;
        int64_t interval;
    };
    const Row rows[] = {
        {"defaults", "{}", false, "", 1200},
        {"set", R"({"reprocess_flows": true, "timezone": "UTC", "timezone_update_interval": 60})",
         true, "UTC", 60},
        {"wrong types keep defaults or the previous flag",
         R"({"reprocess_flows": "no", "timezone": 5, "timezone_update_interval": "60"})", true, "",
         1200},
        {"false clears the flag", R"({"reprocess_flows": false, "timezone_update_interval": 90.7})",
         false, "", 90},
        {"top level not an object", "[1, 2]", false, "", 1200},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_EQ(Load(row.config), "");
        EXPECT_EQ(plugin.ReprocessFlows(), row.reprocess);
        EXPECT_EQ(plugin.Clock().timezone, row.timezone);
        EXPECT_EQ(plugin.Clock().update_interval, row.interval);
        EXPECT_NE(plugin.Clock().last_update, 0);
    }
}

TEST_F(Config, BadTimeZoneKeepsThePreviousOne)
{
    ASSERT_EQ(Load(R"({"timezone": "Etc/GMT-2", "timezone_update_interval": 300})"), "");
    EXPECT_NE(Load(R"({"timezone": "Nowhere/City", "timezone_update_interval": 5})"), "");
    EXPECT_EQ(plugin.Clock().timezone, "Etc/GMT-2");
    EXPECT_EQ(plugin.Clock().update_interval, 300);
    EXPECT_NEAR(plugin.Clock().TickUpdate() - time(nullptr), 7200, 2);
}

TEST_F(Config, TopLevelNotAnObjectReportsZeroCounts)
{
    LogCapture capture;
    ASSERT_EQ(Load(R"("just a string")"), "");
    EXPECT_EQ(Counts(), (std::vector<uint64_t>{0, 0, 0, 0, 0}));
    EXPECT_TRUE(
        capture.Contains("fa0: Loaded 0/0 action(s), 0/0 target(s), 0 global exemption(s).\n"));
}

TEST_F(Config, TypeDefaults)
{
    struct Row {
        const char *name;
        const char *config;
        json type_config;
    };
    const Row rows[] = {
        {"from target_defaults",
         R"({"target_defaults": {"record": {"x": 1}, "log": {"y": 2}}, "record": {"z": 3},
             "targets": {"t": {"target_type": "record"}}})",
         {{"x", 1}}},
        {"no member for the type",
         R"({"target_defaults": {"log": {"y": 2}}, "targets": {"t": {"target_type": "record"}}})",
         nullptr},
        {"top level stands in for target_defaults",
         R"({"record": {"z": 3}, "targets": {"t": {"target_type": "record"}}})",
         {{"z", 3}}},
        {"target_defaults not an object",
         R"({"target_defaults": 5, "record": {"z": 3}, "targets": {"t": {"target_type": "record"}}})",
         nullptr},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        plugin.type_configs.clear();
        ASSERT_EQ(Load(row.config), "");
        ASSERT_EQ(plugin.type_configs.count("t"), 1u);
        EXPECT_EQ(plugin.type_configs["t"], row.type_config);
    }
}

TEST_F(Config, KindsReachTheirFactories)
{
    ASSERT_EQ(Load(R"({
        "target_defaults": {"log": {"path": ")" +
                   scratch.path + R"("}},
        "targets": {
            "l": {"target_type": "log", "interval": 60},
            "s": {"target_type": "sink", "sink": "sink-log", "channel": "flows"}
        }
    })"),
              "");
    ASSERT_NE(plugin.FindTarget("l"), nullptr);
    ASSERT_NE(plugin.FindTarget("s"), nullptr);
    EXPECT_EQ(plugin.FindTarget("l")->GetType(), tfaTarget::TT_LOG);
    EXPECT_EQ(plugin.FindTarget("s")->GetType(), tfaTarget::TT_SINK);
    EXPECT_EQ(plugin.FindTarget("nope"), nullptr);
}

TEST_F(Config, EmptyPfDeviceLeavesTheHandleAlone)
{
    ASSERT_EQ(Load(R"({"target_globals": {"pftable": {"device": ""}, "other": 1}})"), "");
    EXPECT_EQ(plugin.PfConfig()->fd, -1);
    EXPECT_EQ(plugin.PfConfig()->device, "");
}

TEST_F(Config, ReloadReplacesEverything)
{
    ASSERT_EQ(Load(R"({"targets": {"t": {"target_type": "record"}},
                       "actions": {"a": {"criteria": "*", "targets": "t"}},
                       "exemptions": ["10.0.0.1"]})"),
              "");
    ASSERT_EQ(Load(R"({"targets": {"u": {"target_type": "record"}},
                       "actions": {"b": {"criteria": "*", "targets": "u"}}})"),
              "");
    EXPECT_EQ(plugin.TargetNames(), std::vector<std::string>{"u"});
    EXPECT_EQ(plugin.ActionOrder(), std::vector<std::string>{"b"});
    EXPECT_EQ(plugin.ExemptionCount(), 0u);
    EXPECT_EQ(Counts(), (std::vector<uint64_t>{1, 1, 1, 1, 0}));
}
} // namespace
