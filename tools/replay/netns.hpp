#pragma once

#include "host/json.hpp"

#include <string>

// Where a replay's nftset targets reach the kernel (Linux only; elsewhere nothing here does
// anything). nftset targets change the real kernel's firewall, so tfa-replay never lets them
// reach the machine's own: a configuration that names one needs `--nft-in-netns` (the plug-in
// runs in a fresh network namespace of its own, gone with the process) or `--netns NAME` (the
// named namespace of `ip netns`, /run/netns/NAME).
class tfaReplayNetns
{
public:
    // Enters the namespace asked for, on the calling thread, before any other thread starts.
    // Throws tdException when it cannot be entered, when both are asked for, or when the
    // configuration file names an enabled nftset target and neither is asked for.
    static void Enter(const std::string &config, bool fresh, const std::string &name);

    // Whether Enter entered a namespace.
    static bool Entered();

    // Every nftables set of the namespace: {"FAMILY TABLE SET": [addresses]}; an empty object
    // when no namespace was entered (the machine's own sets are never listed).
    static json Sets();
    // The number of elements of all sets of the namespace; 0 when none was entered.
    static uint64_t Elements();

    // Whether the configuration file names an enabled target of type "nftset".
    static bool NamesNftSet(const std::string &config);
};
