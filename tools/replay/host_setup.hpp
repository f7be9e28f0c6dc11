#pragma once

#include "host/global_config.hpp"
#include "host/instance.hpp"

#include <string>
#include <vector>

// The host agent's process-wide objects, set up as the replay host runs the plug-in:
//
// - the global configuration, with the path variables given as "NAME=VALUE" texts and both
//   cache options on, so flow records carry "dhc_hit" and "fhc_hit" as on a host with its
//   detection and flow hash caches enabled;
// - the instance, named by the tag, with the application catalogue loaded from a file (an
//   empty catalogue when no file is given);
// - on systems without pf, the pf model with the given device paths registered, so that a
//   configuration naming another device fails to load as on a host where it is missing.
//
// One object at a time; destroying it removes the instances again.
class tfaHostSetup
{
public:
    static constexpr const char *DEFAULT_PF_DEVICE = "/dev/pf";

    // Throws tdException for a variable without "=" or with an empty name, and for a catalogue
    // that cannot be loaded (the catalogue's own message, naming the file).
    tfaHostSetup(const std::string &tag, const std::vector<std::string> &variables,
                 const std::string &applications, const std::vector<std::string> &pf_devices);

    tfaHostSetup(const tfaHostSetup &) = delete;
    tfaHostSetup &operator=(const tfaHostSetup &) = delete;

    tdGlobalConfig config;
    tdInstance instance;
};
