// The replay host run as a child process on generated flow events, beside a floor: reading the
// same lines and parsing each with the JSON library, nothing else. The child's peak resident size
// comes from the kernel's accounting of the finished child; its flows held at the end from its
// last line.
#include "host/json.hpp"

#include <benchmark/benchmark.h>
#include <simdjson.h>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{
constexpr int THROUGHPUT_EVENTS = 100000;
constexpr int RSS_EVENTS = 1000000;
// Lines of the ended-flows file the smaller run reads.
constexpr int RSS_HALF_LINES = RSS_EVENTS / 2;
constexpr double KIB = 1024.0;
const char *const CONFIG = TFA_SOURCE_DIR "/examples/flow-actions.json";
const char *const APPLICATIONS = TFA_SOURCE_DIR "/examples/applications.json";
// The example configuration writes its logs under this folder of the directory it runs in.
const char *const LOG_FOLDER = "build/demo/logs";

struct Child {
    bool ok = false;
    double seconds = 0;
    long max_rss_kib = 0;
    // From the run's last line: "... flows held at the end".
    long flows_held = 0;
};

// The flows a finished run's output says it still held.
long FlowsHeld(const std::string &output)
{
    std::ifstream in(output);
    std::string line, last;
    while (std::getline(in, line))
        if (line.find("flows held at the end") != std::string::npos)
            last = line;
    size_t end = last.rfind(" flows held");
    size_t start = last.rfind(' ', end - 1);
    return end == std::string::npos ? 0 : std::atol(last.c_str() + start + 1);
}

// Runs `args` in `dir` with standard output going to `output` (or /dev/null) and waits for it.
Child Run(const std::vector<std::string> &args, const std::string &dir, const std::string &output)
{
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(output.empty() ? "/dev/null" : output.c_str(),
                       O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int null = open("/dev/null", O_WRONLY);
        if (out < 0 || null < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(null, STDERR_FILENO) < 0 ||
            chdir(dir.c_str()) != 0)
            _exit(127);
        std::vector<char *> argv;
        for (const auto &arg : args)
            argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    Child child;
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid)
        return child;
    child.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    child.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    child.max_rss_kib = usage.ru_maxrss;
    return child;
}

// A scratch folder holding a file of `events` generated flow events, removed with the object.
class EventFile
{
public:
    explicit EventFile(int events)
        : dir(std::filesystem::temp_directory_path() /
              ("tfa-bench-replay-" + std::to_string(getpid()) + "-" + std::to_string(events))),
          path(dir + "/flows.jsonl")
    {
        std::filesystem::create_directories(dir + "/" + LOG_FOLDER);
        ok = Run({TFA_REPLAY_PATH, "generate", "--count", std::to_string(events), "--seed", "7"},
                 dir, path)
                 .ok;
    }
    ~EventFile() { std::filesystem::remove_all(dir); }

    // No linger: it is a fixed wait for log targets' intervals, not replay work.
    Child Replay(const std::string &input) const
    {
        std::string output = dir + "/run.txt";
        Child child = Run({TFA_REPLAY_PATH, "run", "-c", CONFIG, "-a", APPLICATIONS, "--linger",
                           "0", input},
                          dir, output);
        child.flows_held = FlowsHeld(output);
        return child;
    }

    // The first `lines` lines of the file without the flows it never ends, so the flows live at
    // any time are those the generator overlaps, however long the file.
    std::string EndedFlows(int lines) const
    {
        std::set<std::string> ended;
        ForEachLine(lines, [&](const std::string &line) {
            if (line.find(PURGE) != std::string::npos)
                ended.insert(Digest(line));
        });
        std::string ended_path = dir + "/ended-" + std::to_string(lines) + ".jsonl";
        std::ofstream out(ended_path);
        ForEachLine(lines, [&](const std::string &line) {
            if (ended.count(Digest(line)) != 0)
                out << line << '\n';
        });
        return ended_path;
    }

    const std::string dir;
    const std::string path;
    bool ok = false;

private:
    static constexpr const char *PURGE = "\"type\":\"flow_purge\"";
    static constexpr const char *DIGEST = "\"digest\":\"";
    static constexpr size_t DIGEST_DIGITS = 16;

    static std::string Digest(const std::string &line)
    {
        size_t at = line.find(DIGEST);
        return at == std::string::npos ? std::string()
                                       : line.substr(at + strlen(DIGEST), DIGEST_DIGITS);
    }

    template <class F> void ForEachLine(int lines, F each) const
    {
        std::ifstream in(path);
        std::string line;
        for (int i = 0; i < lines && std::getline(in, line); i++)
            each(line);
    }
};

// Generated once for the run and the floor, which read the same lines.
const EventFile &ThroughputFile()
{
    static const EventFile file(THROUGHPUT_EVENTS);
    return file;
}

// Runs the replay host on `input`, one of `file`'s forms, once per iteration.
void TimeReplay(benchmark::State &state, const EventFile &file, const std::string &input)
{
    for (auto _ : state) {
        Child child = file.Replay(input);
        if (!child.ok) {
            state.SkipWithError("tfa-replay run failed");
            return;
        }
        state.SetIterationTime(child.seconds);
        state.counters["peak_rss_mb"] = child.max_rss_kib / KIB;
        state.counters["flows_held"] = static_cast<double>(child.flows_held);
    }
}

void ReplayRun(benchmark::State &state)
{
    const EventFile &file = ThroughputFile();
    if (!file.ok) {
        state.SkipWithError("generate failed");
        return;
    }
    TimeReplay(state, file, file.path);
    state.SetItemsProcessed(state.iterations() * THROUGHPUT_EVENTS);
}
BENCHMARK(ReplayRun)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

// Reads the throughput file line by line, each line handed to `parse`. Wall time, as for the
// child, so that both figures carry the same share of a busy machine.
template <class Parse> void LinesFloor(benchmark::State &state, Parse parse)
{
    const EventFile &file = ThroughputFile();
    if (!file.ok) {
        state.SkipWithError("generate failed");
        return;
    }
    int64_t lines = 0;
    for (auto _ : state) {
        std::ifstream in(file.path);
        std::string line;
        while (std::getline(in, line)) {
            parse(line);
            lines++;
        }
    }
    state.SetItemsProcessed(lines);
}

void JsonLinesFloor(benchmark::State &state)
{
    LinesFloor(state, [](const std::string &line) { benchmark::DoNotOptimize(json::parse(line)); });
}
BENCHMARK(JsonLinesFloor)->UseRealTime()->Iterations(1)->Unit(benchmark::kMillisecond);

// For information: the same floor with simdjson, the parser the replay host reads lines with.
void SimdjsonLinesFloor(benchmark::State &state)
{
    simdjson::dom::parser parser;
    LinesFloor(state, [&parser](const std::string &line) {
        simdjson::dom::element element;
        benchmark::DoNotOptimize(parser.parse(line).get(element));
    });
}
BENCHMARK(SimdjsonLinesFloor)->UseRealTime()->Iterations(1)->Unit(benchmark::kMillisecond);

const EventFile &RssFile()
{
    static const EventFile file(RSS_EVENTS);
    return file;
}

void ReplayPeakRss(benchmark::State &state)
{
    if (!RssFile().ok) {
        state.SkipWithError("generate failed");
        return;
    }
    TimeReplay(state, RssFile(), RssFile().path);
    state.SetItemsProcessed(state.iterations() * RSS_EVENTS);
}
BENCHMARK(ReplayPeakRss)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

// The same file with only the flows that end, whole and cut at half: the live flows are the
// same, so the peak should be too.
void ReplayPeakRssEndedFlows(benchmark::State &state)
{
    if (!RssFile().ok) {
        state.SkipWithError("generate failed");
        return;
    }
    TimeReplay(state, RssFile(), RssFile().EndedFlows(static_cast<int>(state.range(0))));
}
BENCHMARK(ReplayPeakRssEndedFlows)
    ->Arg(RSS_HALF_LINES)
    ->Arg(RSS_EVENTS)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
} // namespace

BENCHMARK_MAIN();
