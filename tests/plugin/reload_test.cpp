#include "plugin/config_parser.hpp"
#include "plugin/test_plugin.hpp"
#include "support/capture.hpp"

#include <gtest/gtest.h>
#include "sim/pf/pfsim.hpp"

namespace
{
constexpr const char *PF_DEVICE = "/dev/pf-reload-test";

// The configuration in force before each faulty reload: a recording target, a pf table target
// that empties its table when created and when dropped, two actions, a global exemption.
const std::string GOOD = std::string(R"({
    "target_globals": {"pftable": {"device": ")") + PF_DEVICE + R"("}},
    "targets": {"t": {"target_type": "record"},
                "pf": {"target_type": "pftable", "table_name": "blocked", "managed": true,
                       "flush_on_create": true, "flush_on_destroy": true}},
    "actions": {"a": {"criteria": "*", "targets": ["t", "pf"], "priority": 1},
                "b": {"criteria": "pi:dns", "targets": "t"}},
    "exemptions": ["10.9.9.9"]
})";

class Reload : public ::testing::Test
{
protected:
    Reload() : path(scratch.path + "/tfa.json"), plugin(path, journal)
    {
        pfsim::Reset();
        pfsim::RegisterDevice(PF_DEVICE);
    }
    ~Reload() override { pfsim::Reset(); }

    std::string Load(const std::string &text)
    {
        return ReloadFault(scratch, plugin, text);
    }

    // Everything a reload may change, as one comparable picture.
    std::vector<std::string> State()
    {
        std::vector<std::string> state = plugin.TargetNames();
        for (const auto &name : plugin.ActionOrder())
            state.push_back("action " + name);
        state.push_back("exemptions " + std::to_string(plugin.ExemptionCount()));
        const auto &counts = plugin.Counters();
        for (uint64_t count : {counts.actions.load(), counts.actions_enabled.load(),
                               counts.flows.load(), counts.flows_queued.load(),
                               counts.global_exemptions.load(), counts.targets.load(),
                               counts.targets_enabled.load()})
            state.push_back(std::to_string(count));
        for (const auto &table : pfsim::ListTables())
            for (const auto &address : table.addresses)
                state.push_back(table.name + " " + address.address);
        return state;
    }

    HostEnvironment host;
    Journal journal;
    TempDir scratch{"tfa-reload"};
    std::string path;
    TestPlugin plugin;
};

// A reload with a fault used to unload first and so left no or half a configuration (and
// flushed pf tables); now each kind of fault leaves everything exactly as it was.
TEST_F(Reload, FaultyReloadKeepsThePreviousConfiguration)
{
    ASSERT_EQ(Load(GOOD), "");
    auto flow = MakeFlow(0, 5);
    plugin.DispatchProcessorEvent(tdPluginProcessor::EVENT_DPI_COMPLETE, flow);
    plugin.RunQueue();
    const auto before = State();
    ASSERT_NE(std::find(before.begin(), before.end(), "blocked 93.184.216.34"), before.end());

    struct Row {
        const char *name;
        std::string config;
    };
    const Row rows[] = {
        {"JSON", R"({"actions": )"},
        {"duplicate name", R"({"targets": {"t": {"target_type": "record"},
                                           "t": {"target_type": "record"}}})"},
        {"duplicate key", R"({"actions": {}, "actions": {}})"},
        {"nesting", std::string(100, '[') + std::string(100, ']')},
        {"target key type", R"({"targets": {"pf": {"target_type": "pftable", "ttl": "x",
                                                   "table_name": "blocked"}}})"},
        {"unknown target type", R"({"targets": {"x": {"target_type": "nope"}}})"},
        {"action key", R"({"targets": {"t": {"target_type": "record"}},
                           "actions": {"a": {"criteria": "*", "targets": "gone"}}})"},
        {"zero-length criteria", R"({"targets": {"t": {"target_type": "record"}},
                                     "actions": {"a": {"criteria": "", "targets": "t"}}})"},
        {"time window", R"({"targets": {"t": {"target_type": "record"}},
                            "actions": {"a": {"criteria": "*", "targets": "t",
                                              "time_of_day": [{"start": "25:00"}]}}})"},
        {"time zone", R"({"timezone": "Mars/Olympus"})"},
        {"queue limit", R"({"queue_limit": -1})"},
        {"log name", R"({"targets": {"l": {"target_type": "log", "prefix": "a/b"}}})"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        LogCapture capture;
        EXPECT_NE(Load(row.config), "");
        EXPECT_EQ(State(), before);
        EXPECT_TRUE(capture.Contains(
            "fa0: Configuration not reloaded; the previous one stays in force.\n"));
    }

    // A good reload then applies: the new table is emptied on creation, the old actions go.
    ASSERT_EQ(Load(R"({"targets": {"u": {"target_type": "record"}},
                       "actions": {"c": {"criteria": "*", "targets": "u"}}})"),
              "");
    EXPECT_EQ(plugin.TargetNames(), std::vector<std::string>{"u"});
    EXPECT_EQ(plugin.ActionOrder(), std::vector<std::string>{"c"});
    EXPECT_EQ(plugin.ExemptionCount(), 0u);
}

// "/0" `count` times: the path of the first element of nested arrays.
std::string Zeros(size_t count)
{
    std::string where;
    for (size_t i = 0; i < count; i++)
        where += "/0";
    return where;
}

// The last-wins duplicate keys and the unbounded nesting are refused while parsing, naming the
// file, the key and where it sits.
TEST_F(Reload, ParserRefusesDuplicateKeysAndDeepNesting)
{
    const std::string deep =
        R"({"tags": )" + std::string(tfaConfigParser::NESTING_LIMIT, '[') +
        std::string(tfaConfigParser::NESTING_LIMIT, ']') + "}";
    const std::string fits =
        std::string(tfaConfigParser::NESTING_LIMIT, '[') +
        std::string(tfaConfigParser::NESTING_LIMIT, ']');
    struct Row {
        const char *name;
        std::string config;
        std::string fault;
    };
    const std::string owner = "fa0: Error loading configuration: " + path + ": ";
    const Row rows[] = {
        {"second section", R"({"actions": {}, "actions": {}})",
         owner + "duplicate key \"actions\" in /"},
        {"criteria twice", R"({"actions": {"a": {"criteria": "*", "criteria": "pi:dns"}}})",
         owner + "duplicate key \"criteria\" in /actions/a"},
        {"inside an array",
         R"({"targets": {"t": {"target_type": "record", "x": [1, {"k": 1, "k": 2}]}}})",
         owner + "duplicate key \"k\" in /targets/t/x/1"},
        {"duplicate action keeps its message", R"({"actions": {"a": {}, "a": {}}})",
         "a: duplicate action"},
        {"too deep", deep, owner + "nested deeper than 64 levels at /tags" + Zeros(62)},
        {"ninety thousand levels", std::string(90000, '[') + std::string(90000, ']'),
         owner + "nested deeper than 64 levels at " + Zeros(63)},
        {"the limit itself loads", fits, ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(Load(row.config), row.fault);
    }
}

// Destroying one of two instances deleted the shared parser under the other, which crashed on
// its next reload; the parser now lives until the last instance goes.
TEST_F(Reload, ParserOutlivesAnyOneInstance)
{
    ASSERT_EQ(Load(GOOD), "");
    {
        TestPlugin other(path, journal, "fa1");
    }
    ASSERT_NE(tfaRulesContext::parser, nullptr);
    ASSERT_EQ(Load(R"({"targets": {"t": {"target_type": "record"}},
                       "actions": {"a": {"criteria": "ip_protocol == 6", "targets": "t"}}})"),
              "");
    auto flow = MakeFlow();
    plugin.DispatchProcessorEvent(tdPluginProcessor::EVENT_DPI_COMPLETE, flow);
    plugin.RunQueue();
    EXPECT_EQ(journal.Route(), std::vector<std::string>{"a>t"});
}

// The queue had no bound; events beyond "queue_limit" are dropped, counted in the status and
// reported once per update.
TEST_F(Reload, QueueLimitDropsAndCounts)
{
    ASSERT_EQ(Load(R"({"queue_limit": 2})"), "");
    EXPECT_EQ(plugin.QueueLimit(), 2u);
    for (int i = 0; i < 5; i++) {
        auto flow = MakeFlow();
        plugin.DispatchProcessorEvent(tdPluginProcessor::EVENT_DPI_COMPLETE, flow);
    }
    EXPECT_EQ(plugin.Queue().size(), 2u);
    json status = json::object();
    plugin.GetStatus(status);
    EXPECT_EQ(status["flows_dropped"], 3u);
    EXPECT_TRUE(status["flows_dropped"].is_number_unsigned());

    LogCapture capture;
    plugin.Create();
    plugin.DispatchProcessorEvent(tdPluginProcessor::EVENT_UPDATE);
    auto reports = [&] {
        std::vector<std::string> lines;
        for (const auto &line : capture.LogLines())
            if (line.find("queue full") != std::string::npos)
                lines.push_back(line);
        return lines;
    };
    EXPECT_TRUE(WaitFor([&] { return !plugin.UpdatePending() && !reports().empty(); }));
    plugin.DispatchProcessorEvent(tdPluginProcessor::EVENT_UPDATE);
    EXPECT_TRUE(WaitFor([&] { return !plugin.UpdatePending(); }));
    plugin.Terminate();
    plugin.Join();
    EXPECT_EQ(reports(),
              std::vector<std::string>{
                  "fa0: queue full: dropped 3 flow event(s) since the last update (queue_limit 2)\n"});
    EXPECT_EQ(Load("{}"), "");
    EXPECT_EQ(plugin.QueueLimit(), tfaPlugin::DEFAULT_QUEUE_LIMIT);
}

// The worker slept on a condition broadcast under another mutex and without a predicate, so an
// event queued as it fell asleep waited for the idle timeout; with an idle wait of an hour, such
// a lost wake-up now turns into a failed bounded wait.
TEST_F(Reload, EventsQueuedAsTheWorkerSleepsAreNotLost)
{
    scratch.Write("tfa.json", R"({"targets": {"t": {"target_type": "record"}},
                                  "actions": {"a": {"criteria": "*", "targets": "t"}}})");
    plugin.SetIdleWait(std::chrono::hours(1));
    plugin.Create();
    for (size_t i = 1; i <= 200; i++) {
        auto flow = MakeFlow();
        plugin.DispatchProcessorEvent(tdPluginProcessor::EVENT_DPI_COMPLETE, flow);
        ASSERT_TRUE(WaitFor([&] { return journal.Count() == i; })) << "event " << i;
    }
    plugin.Terminate();
    plugin.Join();
}
} // namespace
