#include "tools/replay/replay_commands.hpp"

#include "agent/log_control.hpp"
#include "agent/sink_output.hpp"
#include "host/exception.hpp"
#include "host/log.hpp"
#include "host/log_directory.hpp"
#include "rules/exception_text.hpp"
#include "tools/common/plugin_loader.hpp"
#include "tools/replay/config_check.hpp"
#include "tools/replay/event_reader.hpp"
#include "tools/replay/flow_generator.hpp"
#include "tools/replay/host_setup.hpp"
#include "tools/replay/match_tally.hpp"
#include "tools/replay/netns.hpp"
#include "tools/replay/replay_console.hpp"
#include "tools/replay/replay_report.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
constexpr const char *PLUGIN_FILE = "libtarvix-proc-flow-actions.so";
constexpr const char *CONF_FILENAME = "conf_filename";
constexpr const char *STDIN_PATH = "-";
constexpr const char *STDIN_NAME = "stdin";

using Commands = tfaReplayCommands;

// Runs a job; a fault that ends it is written as one line, and the job fails.
template <class Job> int Report(Job job)
{
    try {
        return job();
    } catch (...) {
        td_printf("%s\n", tfaExceptionText().c_str());
    }
    return 1;
}

std::vector<std::string> PfDevices(const Commands::HostOptions &options)
{
    if (options.pf_devices.empty())
        return {tfaHostSetup::DEFAULT_PF_DEVICE};
    return options.pf_devices;
}

void AddSinks(tdSinkOutput::Registry &registry, const std::vector<std::string> &outputs)
{
    for (const auto &output : outputs) {
        size_t equals = output.find('=');
        if (equals == std::string::npos || equals == 0 || equals + 1 == output.size())
            throw tdException("--sink: expected NAME=PATH: %s", output.c_str());
        registry.Add(tdSinkOutput::Open(output.substr(0, equals), output.substr(equals + 1)));
    }
}

// The replay file, or standard input for "-".
class Input
{
public:
    explicit Input(const std::string &path)
        : name(path == STDIN_PATH ? STDIN_NAME : path), stream(&std::cin)
    {
        if (path == STDIN_PATH)
            return;
        file.open(path);
        if (!file)
            throw tdException("%s: %s", path.c_str(), strerror(errno));
        stream = &file;
    }

    const std::string name;
    std::istream &Stream() { return *stream; }

    // A regular file is read whole without waiting; a pipe or terminal may pause.
    bool IsFile() const
    {
        struct stat info;
        int rc = stream == &std::cin ? fstat(STDIN_FILENO, &info) : stat(name.c_str(), &info);
        return rc == 0 && S_ISREG(info.st_mode);
    }

private:
    std::ifstream file;
    std::istream *stream;
};

// The configuration's "reprocess_flows", which decides whether a reload makes the plug-in queue
// the classified flows again. The file loaded already, so it parses.
bool ReprocessFlows(const std::string &config)
{
    std::ifstream file(config);
    json top = json::parse(file, nullptr, false, true);
    if (!top.is_object())
        return false;
    auto it = top.find("reprocess_flows");
    return it != top.end() && it->is_boolean() && it->get<bool>();
}

// The same load the worker makes, done first where its failure can stop the run. Its lines are
// shown only when it fails, since the worker's own load writes them again.
bool PreLoad(tdPluginLoader &loader, const Commands::RunOptions &options)
{
    tfaConfigCheck::Outcome outcome = tfaConfigCheck::Load(loader, options.tag, options.config);
    if (!outcome.loaded)
        outcome.Write(options.debug);
    return outcome.loaded;
}

void WriteSummary(const std::string &path, const json &summary)
{
    std::ofstream file(path);
    if (file)
        file << summary.dump(2) << '\n';
    if (!file)
        throw tdException("--summary-json: %s: %s", path.c_str(), strerror(errno));
}

int ReplayFlows(tfaReplayConsole &console, tdPluginProcessor &plugin, tfaEventSource &source,
                const tdSinkOutput::Registry &sinks, tfaMatchTally &matches,
                const Commands::RunOptions &options)
{
    tfaReplayHost::Options replay = options.replay;
    replay.reprocess_flows = ReprocessFlows(options.config);
    replay.worker_stopped = [&console]() { return console.WorkerStopped(); };
    tfaReplayHost host(plugin, replay);

    {
        // The progress line reads the host, so it must stop before the host goes, also when
        // the replay throws.
        struct ProgressGuard {
            tfaReplayConsole &console;
            ~ProgressGuard() { console.StopProgress(); }
        } progress{console};
        console.StartProgress([&host]() { return host.GetEventsRead(); },
                              [&host]() { return host.PollStatus()["flows"].get<uint64_t>(); });
        host.Replay(source);
    }

    json status = host.PollStatus();
    plugin.DisplayStatus(status);
    matches.CountLogFiles(tdLogDirectory::GetClosedFiles());
    json summary = tfaReplayReport::Gather(status, matches.Get(), sinks, source.GetSkipped());
    tfaReplayReport::Print(stdout, summary, sinks);
    double seconds = host.GetSeconds();
    printf("replayed %llu events in %.3f s (%.0f events/s); %zu flows held at the end\n",
           static_cast<unsigned long long>(host.GetEventsRead()), seconds,
           seconds > 0 ? static_cast<double>(host.GetEventsRead()) / seconds : 0.0,
           host.GetFlowCount());
    fflush(stdout);
    if (!options.summary_json.empty())
        WriteSummary(options.summary_json, summary);
    // The run's output is incomplete: whoever started it must not take it as done.
    uint64_t lost = tfaReplayReport::GetLostRecords(summary);
    if (lost > 0)
        td_printf("%llu sink records lost\n", static_cast<unsigned long long>(lost));
    return host.IsDrained() && lost == 0 ? 0 : 1;
}
} // namespace

// Loads the plug-in through the ABI check and the configuration on the side, then replays the
// events of the source `open` makes (opened before the plug-in, so that a missing input stops
// the run first) and reports what came of them.
int RunPlugin(tfaReplayConsole &console, const Commands::RunOptions &options,
              const std::function<tfaEventSource &(tfaHostSetup &)> &open)
{
    tfaReplayNetns::Enter(options.config, options.nft_in_netns, options.netns);
    tfaHostSetup host(options.tag, options.variables, options.applications, PfDevices(options));
    tdSinkOutput::Registry sinks;
    AddSinks(sinks, options.sinks);
    tfaMatchTally matches;
    matches.Install(sinks);
    tfaEventSource &source = open(host);
    tdPluginLoader loader(options.plugin);
    if (!PreLoad(loader, options))
        return 1;

    std::unique_ptr<tdPluginProcessor> plugin(
        loader.Init(options.tag, {{CONF_FILENAME, options.config}}));
    if (!plugin)
        return 1;
    plugin->Create();
    int status = ReplayFlows(console, *plugin, source, sinks, matches, options);
    plugin->Terminate();
    return status;
}

// The replay file and its reader, as one source.
class FileSource : public tfaEventSource
{
public:
    FileSource(const std::string &path, size_t line_limit)
        : input(path), reader(input.Stream(), input.name, line_limit)
    {
    }
    bool Next(tfaReplayEvent &event) override { return reader.Next(event); }
    size_t GetSkipped() const override { return reader.GetSkipped(); }
    bool IsFile() const { return input.IsFile(); }

private:
    Input input;
    tfaEventReader reader;
};

int tfaReplayCommands::Run(const RunOptions &options)
{
    tfaReplayConsole console(options.tag);
    td_set_debug(options.debug);
    return Report([&]() {
        RunOptions run = options;
        std::unique_ptr<FileSource> source;
        return RunPlugin(console, run, [&](tfaHostSetup &) -> tfaEventSource & {
            source = std::make_unique<FileSource>(run.flows, run.line_limit);
            run.replay.batch = source->IsFile();
            return *source;
        });
    });
}

int tfaReplayCommands::Pcap(const PcapOptions &options)
{
    tfaReplayConsole console(options.tag);
    td_set_debug(options.debug);
    return Report([&]() {
        std::ofstream write_flows;
        if (!options.write_flows.empty()) {
            write_flows.open(options.write_flows);
            if (!write_flows)
                throw tdException("--write-flows: %s: %s", options.write_flows.c_str(),
                                  strerror(errno));
        }
        RunOptions run = options;
        // Updates come in capture time, from the source, rather than from the host's timer.
        run.replay.update_interval = 0;
        const auto &captures = options.capture.captures;
        run.replay.batch =
            std::find(captures.begin(), captures.end(), STDIN_PATH) == captures.end();
        std::unique_ptr<tfaCaptureSource> capture;
        int status = RunPlugin(console, run, [&](tfaHostSetup &host) -> tfaEventSource & {
            capture = tfaCaptureSource::Create(options.capture, &host.instance.apps,
                                               write_flows.is_open() ? &write_flows : nullptr);
            return *capture;
        });
        if (!capture)
            return status;
        capture->PrintSummary(stdout);
        fflush(stdout);
        write_flows.flush();
        if (write_flows.is_open() && !write_flows)
            throw tdException("--write-flows: %s: %s", options.write_flows.c_str(),
                              strerror(errno));
        return capture->GetFaults() == 0 ? status : 1;
    });
}

int tfaReplayCommands::Check(const HostOptions &options)
{
    tfaReplayConsole console(options.tag);
    td_set_debug(true);
    return Report([&]() {
        tfaReplayNetns::Enter(options.config, options.nft_in_netns, options.netns);
        tfaHostSetup host(options.tag, options.variables, options.applications, PfDevices(options));
        tdPluginLoader loader(options.plugin);
        tfaConfigCheck::Outcome outcome = tfaConfigCheck::Load(loader, options.tag, options.config);
        outcome.Write(true);
        if (!outcome.loaded)
            return 1;
        if (outcome.faults == 0)
            return 0;
        // The load said each as it met it; the count tells the operator it is not clean.
        td_printf("%s: %llu fault(s) above; the configuration would not do what it says\n",
                  options.tag.c_str(), static_cast<unsigned long long>(outcome.faults));
        return 1;
    });
}

int tfaReplayCommands::Generate(const GenerateOptions &options)
{
    return Report([&]() {
        tfaHostSetup host(DEFAULT_TAG, {}, "", {});
        tfaFlowGenerator(options.seed).Write(std::cout, options.count);
        std::cout.flush();
        if (!std::cout)
            throw tdException("generate: standard output: %s", strerror(errno));
        return 0;
    });
}

std::string tfaReplayCommands::DefaultPlugin(const char *argv0)
{
    char self[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
    std::string program = length > 0 ? std::string(self, static_cast<size_t>(length)) : argv0;
    size_t slash = program.rfind('/');
    return (slash == std::string::npos ? std::string(".") : program.substr(0, slash)) + "/" +
           PLUGIN_FILE;
}
