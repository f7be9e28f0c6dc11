// Speed of turning the shipped capture into flow events, without the plug-in: frames parsed,
// tracked into flows and classified with nDPI (Track), and the same with opening the capture
// and starting nDPI, which costs far more than a small capture's packets (Read).
#include "tools/replay/capture_source.hpp"
#include "tools/replay/packet_parser.hpp"

#include <benchmark/benchmark.h>
#include <string>
#include <vector>

namespace
{
const std::string capture = std::string(TFA_SOURCE_DIR) + "/examples/capture.pcap";

struct Frame {
    uint64_t time_us;
    size_t length;
    std::vector<uint8_t> bytes;
};

std::vector<Frame> LoadFrames(int &link_type)
{
    auto reader = tfaPcapReader::Open(capture);
    link_type = reader->GetLinkType();
    std::vector<Frame> frames;
    tfaCapturedFrame frame;
    while (reader->Next(frame))
        frames.push_back({frame.time_us, frame.length,
                          std::vector<uint8_t>(frame.data, frame.data + frame.captured)});
    return frames;
}

void Rates(benchmark::State &state, uint64_t packets, uint64_t flows)
{
    state.counters["packets/s"] =
        benchmark::Counter(static_cast<double>(packets), benchmark::Counter::kIsRate);
    state.counters["flows/s"] =
        benchmark::Counter(static_cast<double>(flows), benchmark::Counter::kIsRate);
}

void Track(benchmark::State &state)
{
    int link_type = 0;
    const std::vector<Frame> frames = LoadFrames(link_type);
    auto classifier = tfaNdpiClassifier::Create();
    auto local = tfaLocalNetworks::Create({});
    tfaPacketFlowTable::Options options;
    options.idle_us = static_cast<uint64_t>(tfaCaptureSource::DEFAULT_IDLE * 1e6);
    uint64_t packets = 0, flows = 0;
    for (auto _ : state) {
        tfaPacketFlowTable table(*classifier, *local, nullptr, options);
        std::deque<tfaReplayEvent> events;
        uint64_t number = 0;
        for (const auto &frame : frames) {
            tfaPacketHeaders headers;
            if (tfaPacketParser::Parse(link_type, frame.bytes.data(), frame.bytes.size(), headers))
                table.Add(++number, frame.time_us, frame.length, headers, events);
            events.clear();
        }
        table.Finish(events);
        packets += frames.size();
        flows += table.GetFlows();
    }
    Rates(state, packets, flows);
}
BENCHMARK(Track)->Unit(benchmark::kMicrosecond);

void Read(benchmark::State &state)
{
    tfaCaptureSource::Options options;
    options.captures = {capture};
    uint64_t packets = 0, flows = 0;
    for (auto _ : state) {
        auto source = tfaCaptureSource::Create(options, nullptr, nullptr);
        tfaReplayEvent event;
        while (source->Next(event))
            benchmark::DoNotOptimize(event.flow);
        packets += source->GetFrames();
        flows += source->GetFlows();
    }
    Rates(state, packets, flows);
}
BENCHMARK(Read)->Unit(benchmark::kMillisecond);
} // namespace

BENCHMARK_MAIN();
