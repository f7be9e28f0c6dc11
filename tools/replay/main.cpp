// tfa-replay: runs the flow-actions plug-in on recorded flows or packet captures, checks
// configurations, and makes synthetic flows to replay.
#include "tools/replay/replay_commands.hpp"

#include <CLI/CLI.hpp>
#include <ios>

namespace
{
constexpr int USAGE_ERROR = 2;

void AddHostOptions(CLI::App &command, tfaReplayCommands::HostOptions &options, const char *argv0)
{
    command.add_option("-c,--config", options.config, "plug-in configuration file")->required();
    options.plugin = tfaReplayCommands::DefaultPlugin(argv0);
    command.add_option("--plugin", options.plugin, "plug-in library to load")
        ->capture_default_str();
    command.add_option("-a,--applications", options.applications,
                       "application catalogue (default: none)");
    command.add_option("--tag", options.tag, "plug-in instance name")->capture_default_str();
    command.add_option("--var", options.variables, "path variable of the global configuration")
        ->type_name("NAME=VALUE")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    command
        .add_option("--pf-device", options.pf_devices,
                    "pf device path the pf model answers on (default: /dev/pf)")
        ->type_name("PATH")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
#ifdef TFA_HAVE_NFT
    CLI::Option *fresh = command.add_flag(
        "--nft-in-netns", options.nft_in_netns,
        "run the plug-in in a fresh network namespace, so nftset targets never reach this "
        "machine's firewall");
    command
        .add_option("--netns", options.netns,
                    "run the plug-in in the named network namespace (ip netns, /run/netns/NAME)")
        ->type_name("NAME")
        ->excludes(fresh);
#endif
}

void AddRunOptions(CLI::App &run, tfaReplayCommands::RunOptions &options, const char *argv0)
{
    AddHostOptions(run, options, argv0);
    run.add_option("--sink", options.sinks, "write sink NAME's payloads to PATH (- for stdout)")
        ->type_name("NAME=PATH")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    run.add_option("--threads", options.replay.threads, "host threads delivering events")
        ->check(CLI::Range(1u, 256u))
        ->capture_default_str();
    run.add_option("--rate", options.replay.rate, "events a second at most (0: no limit)")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    run.add_option("--update-interval", options.replay.update_interval,
                   "seconds between host updates (0: only at update lines and the end)")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    run.add_option("--linger", options.replay.linger,
                   "seconds to wait at the end for interval writers")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    run.add_option("--max-line", options.line_limit,
                   "skip replay lines longer than this many bytes")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    run.add_flag("--debug", options.debug, "show the plug-in's debug output");
    run.add_option("--summary-json", options.summary_json, "write the results as JSON to FILE")
        ->type_name("FILE");
}

void AddCaptureOptions(CLI::App &pcap, tfaReplayCommands::PcapOptions &options)
{
    tfaCaptureSource::Options &capture = options.capture;
    pcap.get_option("--update-interval")
        ->description("seconds of capture time between host updates (0: only the last one)");
    pcap.add_option("--local-net", capture.local_networks,
                    "a local network (default: the private, link-local and loopback ranges)")
        ->type_name("CIDR")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    pcap.add_option("--idle", capture.idle, "seconds of capture time before an idle flow expires")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    pcap.add_option("--interface", capture.iface_name, "the capture interface's name")
        ->capture_default_str();
    pcap.add_flag("--wan", capture.wan, "the capture interface faces the WAN (default: the LAN)");
    pcap.add_option("--write-flows", options.write_flows,
                    "also write the flow events to FILE, as a replay file")
        ->type_name("FILE");
    pcap.add_option("CAPTURE", capture.captures, "pcap or pcapng files, or - for standard input")
        ->required();
}
} // namespace

int main(int argc, char **argv)
{
    // Replay files can be large and come through standard input; nothing here mixes C and C++
    // streams on one file.
    std::ios::sync_with_stdio(false);
    CLI::App app{"Runs the flow-actions processor plug-in on recorded flows.", "tfa-replay"};
    app.require_subcommand(1);

    tfaReplayCommands::RunOptions run_options;
    CLI::App *run = app.add_subcommand("run", "replay flow events through the plug-in library");
    AddRunOptions(*run, run_options, argv[0]);
    run->add_option("FLOWS", run_options.flows, "replay file (JSON Lines), or - for standard input")
        ->required();

    tfaReplayCommands::PcapOptions pcap_options;
    CLI::App *pcap =
        app.add_subcommand("pcap", "classify packet captures with nDPI and replay their flows");
    AddRunOptions(*pcap, pcap_options, argv[0]);
    AddCaptureOptions(*pcap, pcap_options);

    tfaReplayCommands::HostOptions check_options;
    CLI::App *check = app.add_subcommand("check", "load a configuration and report its faults");
    AddHostOptions(*check, check_options, argv[0]);

    tfaReplayCommands::GenerateOptions generate_options;
    CLI::App *generate = app.add_subcommand("generate", "write synthetic flow events");
    generate->add_option("--count", generate_options.count, "events to write")
        ->capture_default_str();
    generate->add_option("--seed", generate_options.seed, "seed; the same seed, the same events")
        ->capture_default_str();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? 0 : USAGE_ERROR;
    }
    if (*run)
        return tfaReplayCommands::Run(run_options);
    if (*pcap) {
        pcap_options.capture.update_interval = pcap_options.replay.update_interval;
        return tfaReplayCommands::Pcap(pcap_options);
    }
    if (*check)
        return tfaReplayCommands::Check(check_options);
    return tfaReplayCommands::Generate(generate_options);
}
