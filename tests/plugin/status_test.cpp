#include "host/term.hpp"
#include "plugin/test_plugin.hpp"

#include <gtest/gtest.h>

namespace
{
using tdTerm::Attr::RESET;
using tdTerm::Color::GREEN;
using tdTerm::Color::RED;
using tdTerm::Icon::FAIL;
using tdTerm::Icon::INFO;

class Status : public ::testing::Test
{
protected:
    Status() : plugin(scratch.path + "/tfa.json", journal) {}

    std::string Display(const json &status)
    {
        testing::internal::CaptureStdout();
        plugin.DisplayStatus(status);
        return testing::internal::GetCapturedStdout();
    }

    HostEnvironment host;
    Journal journal;
    TempDir scratch;
    TestPlugin plugin;
};

TEST_F(Status, ReportsAndResetsFlowCounters)
{
    scratch.Write("tfa.json", R"({
        "targets": {"t": {"target_type": "record"}, "off": {"target_type": "record",
                    "target_enabled": false}},
        "actions": {"a": {"criteria": "*", "targets": "t"}},
        "exemptions": ["10.0.0.1", "10.0.0.2"]
    })");
    plugin.Reload();
    for (int i = 0; i < 3; i++) {
        auto flow = MakeFlow();
        plugin.DispatchProcessorEvent(tdPluginProcessor::EVENT_DPI_COMPLETE, flow);
    }
    plugin.RunQueue();

    json status = {{"other_plugin", "kept"}};
    plugin.GetStatus(status);
    EXPECT_EQ(status, json::parse(R"({
        "actions": 1, "actions_enabled": 1, "flows": 3, "flows_priv": 3, "flows_queued": 3, "flows_dropped": 0,
        "global_exemptions": 2, "load_faults": 0, "other_plugin": "kept", "targets": 2,
        "targets_enabled": 1
    })"));
    EXPECT_TRUE(status["flows"].is_number_unsigned());

    json second = json::object();
    plugin.GetStatus(second);
    EXPECT_EQ(second, json::parse(R"({
        "actions": 1, "actions_enabled": 1, "flows": 0, "flows_priv": 0, "flows_queued": 3, "flows_dropped": 0,
        "global_exemptions": 2, "load_faults": 0, "targets": 2, "targets_enabled": 1
    })"));
}

TEST_F(Status, Display)
{
    auto pair = [](const char *colour, const char *icon, const char *what, const char *count_colour,
                   unsigned long count, const char *enabled_colour, unsigned long enabled) {
        return std::string(colour) + icon + RESET + " " + what + ": " + count_colour +
               std::to_string(count) + RESET + ", enabled: " + enabled_colour +
               std::to_string(enabled) + RESET + "\n";
    };
    struct Row {
        const char *name;
        const char *status;
        std::string expected;
    };
    const Row rows[] = {
        {"everything loaded",
         R"({"actions": 4, "actions_enabled": 3, "targets": 2, "targets_enabled": 2,
             "global_exemptions": 5, "flows": 10, "flows_priv": 9, "flows_queued": 8})",
         pair(GREEN, INFO, "actions", GREEN, 4, GREEN, 3) +
             pair(GREEN, INFO, "targets", GREEN, 2, GREEN, 2) + INFO + " global exemptions: 5\n" +
             INFO + " flows: 10 / 9, queued: 8\n"},
        {"no actions",
         R"({"actions": 0, "actions_enabled": 0, "targets": 1, "targets_enabled": 1})",
         pair(RED, FAIL, "actions", RED, 0, RED, 0) +
             pair(GREEN, INFO, "targets", GREEN, 1, GREEN, 1) + INFO + " global exemptions: 0\n" +
             INFO + " flows: 0 / 0, queued: 0\n"},
        {"actions loaded, targets absent", R"({"actions": 2, "actions_enabled": 2})",
         pair(GREEN, INFO, "actions", GREEN, 2, GREEN, 2) +
             pair(RED, FAIL, "targets", RED, 0, RED, 0) + INFO + " global exemptions: 0\n" + INFO +
             " flows: 0 / 0, queued: 0\n"},
        {"actions configured, none enabled", R"({"actions": 2, "actions_enabled": 0})",
         pair(RED, FAIL, "actions", GREEN, 2, RED, 0) + pair(RED, FAIL, "targets", RED, 0, RED, 0) +
             INFO + " global exemptions: 0\n" + INFO + " flows: 0 / 0, queued: 0\n"},
        {"members of other types print 0",
         R"({"actions": "4", "actions_enabled": -3, "targets": 2.0, "targets_enabled": true,
             "global_exemptions": null, "flows": "10", "flows_priv": -1, "flows_queued": [1]})",
         pair(RED, FAIL, "actions", RED, 0, RED, 0) + pair(RED, FAIL, "targets", RED, 0, RED, 0) +
             INFO + " global exemptions: 0\n" + INFO + " flows: 0 / 0, queued: 0\n"},
        {"not an object", "[1, 2]",
         pair(RED, FAIL, "actions", RED, 0, RED, 0) + pair(RED, FAIL, "targets", RED, 0, RED, 0) +
             INFO + " global exemptions: 0\n" + INFO + " flows: 0 / 0, queued: 0\n"},
        {"largest counter", R"({"flows": 18446744073709551615})",
         pair(RED, FAIL, "actions", RED, 0, RED, 0) + pair(RED, FAIL, "targets", RED, 0, RED, 0) +
             INFO + " global exemptions: 0\n" + INFO +
             " flows: 18446744073709551615 / 0, queued: 0\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(Display(json::parse(row.status)), row.expected);
    }
}

TEST_F(Status, ReportOfAFreshPluginDisplaysAsEmpty)
{
    json status = json::object();
    plugin.GetStatus(status);
    std::string text = Display(status);
    EXPECT_NE(text.find(std::string(RED) + FAIL + RESET + " actions: "), std::string::npos);
    EXPECT_NE(text.find(std::string(INFO) + " flows: 0 / 0, queued: 0\n"), std::string::npos);
}
} // namespace
