// The synthetic flow generator: repeatable, varied, and in the replay format.
#include "host/global_config.hpp"
#include "tools/replay/event_reader.hpp"
#include "tools/replay/flow_generator.hpp"

#include <algorithm>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <sstream>

namespace
{
std::string Generate(uint64_t seed, size_t count)
{
    tdGlobalConfig config;
    std::ostringstream out;
    tfaFlowGenerator(seed).Write(out, count);
    return out.str();
}

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

TEST(FlowGenerator, SameSeedSameEvents)
{
    EXPECT_EQ(Generate(5, 300), Generate(5, 300));
    EXPECT_NE(Generate(5, 300), Generate(6, 300));
    EXPECT_EQ(Lines(Generate(5, 300)).size(), 300u);
    EXPECT_EQ(Generate(5, 0), "");
}

TEST(FlowGenerator, MixOfTraffic)
{
    std::set<std::string> types, interfaces, reasons;
    std::set<uint32_t> protocols;
    std::set<uint8_t> versions;
    size_t line_number = 0;
    for (const auto &line : Lines(Generate(11, 1000))) {
        SCOPED_TRACE("line " + std::to_string(++line_number));
        json payload = json::parse(line);
        types.insert(payload["type"].get<std::string>());
        interfaces.insert(payload["interface"].get<std::string>());
        if (payload.contains("reason"))
            reasons.insert(payload["reason"].get<std::string>());
        protocols.insert(payload["flow"]["detected_protocol"].get<uint32_t>());
        versions.insert(payload["flow"]["ip_version"].get<uint8_t>());
        EXPECT_NO_THROW(tfaEventReader::Parse(line));
    }
    EXPECT_EQ(types, (std::set<std::string>{"flow", "flow_update", "flow_dpi_complete",
                                            "flow_intel", "flow_purge"}));
    EXPECT_EQ(interfaces, (std::set<std::string>{"em0", "em1"}));
    EXPECT_EQ(reasons, (std::set<std::string>{"closed", "expired"}));
    EXPECT_EQ(protocols, (std::set<uint32_t>{0, 5, 7, 37, 78, 91, 92, 188}));
    EXPECT_EQ(versions, (std::set<uint8_t>{4, 6}));
}

// Every flow starts with "flow", completes before it gets intel, and says nothing after its purge.
TEST(FlowGenerator, EachFlowInOrder)
{
    std::map<std::string, std::vector<std::string>> flows;
    for (const auto &line : Lines(Generate(3, 1500))) {
        json payload = json::parse(line);
        flows[payload["flow"]["digest"].get<std::string>()].push_back(
            payload["type"].get<std::string>());
    }
    for (const auto &flow : flows) {
        SCOPED_TRACE(flow.first);
        const auto &events = flow.second;
        EXPECT_EQ(events.front(), "flow");
        for (size_t i = 0; i < events.size(); i++) {
            if (events[i] == "flow_purge") {
                EXPECT_EQ(i + 1, events.size());
            }
            if (events[i] == "flow_intel") {
                EXPECT_NE(std::find(events.begin(), events.begin() + i, "flow_dpi_complete"),
                          events.begin() + i);
            }
        }
    }
}
} // namespace
