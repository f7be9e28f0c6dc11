#pragma once

#include "host/flow.hpp"
#include "host/json.hpp"

#include <cstdint>
#include <memory>
#include <ostream>
#include <random>
#include <vector>

// Makes synthetic but realistic flow events in the replay format: DNS, TLS with SNI, QUIC, HTTP,
// SSH, BitTorrent and STUN flows over IPv4 and IPv6, captured on a LAN interface ("em0") and a
// WAN interface ("em1"). Each flow goes through "flow", "flow_update" and "flow_dpi_complete"
// events, some get a "flow_intel" event, and most end with "flow_purge"; the flows of a run
// overlap in time. The same seed gives the same events on every machine.
//
// Flow records are encoded with tdFlow::Encode, so the host's global configuration must exist.
class tfaFlowGenerator
{
public:
    explicit tfaFlowGenerator(uint64_t seed);
    ~tfaFlowGenerator();

    // The next event: one payload object of the replay format.
    json Next();

    // Writes `count` events, one JSON object a line.
    void Write(std::ostream &out, size_t count);

private:
    struct Flow;

    uint64_t Uniform(uint64_t bound);
    bool Chance(unsigned percent);
    std::unique_ptr<Flow> Start();
    void Count(tdFlow &flow);
    void Detect(Flow &flow);
    json Advance(Flow &flow);

    std::mt19937_64 random;
    uint64_t clock_ms;
    std::vector<std::unique_ptr<Flow>> active;
};
