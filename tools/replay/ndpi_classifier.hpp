#pragma once

#include "host/flow.hpp"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>

struct ndpi_detection_module_struct;
struct ndpi_flow_struct;
class tdApplications;

// Classifies flows with nDPI and writes what it found into the host's flow record, in the
// host's terms:
//
// - Protocols are mapped onto the host's protocol table by name, ignoring case: nDPI's master
//   protocol when it names one (TLS in "TLS.Github"), else its application protocol, becomes the
//   detected protocol; a name the table lacks leaves the protocol 0 with no name, and is counted
//   (GetUnmapped). The master protocol is nDPI's master mapped the same way; a TLS flow is its
//   own master, since the host reports TLS details by the master protocol.
// - nDPI's application protocol ("Github" in "TLS.Github") is looked up in the application
//   catalogue as "tarvix.<name>", lower case with only letters and digits kept; protocols such
//   as DNS are not in the catalogue and give no application.
// - Host names, TLS, SSH, HTTP and DHCP details, risks and risk scores are read from nDPI's flow
//   state for the protocol it detected.
class tfaNdpiClassifier
{
public:
    // A flow is given packets until nDPI has settled it (detected, and no more details to wait
    // for) or until this many packets; then its detection is complete.
    static constexpr uint32_t MAX_DETECTION_PACKETS = 32;

    // One flow's nDPI state and results.
    class Flow
    {
    public:
        Flow();
        ~Flow();
        Flow(const Flow &) = delete;
        Flow &operator=(const Flow &) = delete;

        bool IsComplete() const { return complete; }

    private:
        friend class tfaNdpiClassifier;
        struct Free {
            void operator()(ndpi_flow_struct *flow) const;
        };
        std::unique_ptr<ndpi_flow_struct, Free> state;
        uint16_t master = 0; // nDPI's own identifiers
        uint16_t application = 0;
        uint32_t packets = 0;
        bool complete = false;
        bool guessed = false;
    };

    // Starts nDPI with every protocol enabled. Throws tdException when it cannot.
    static std::unique_ptr<tfaNdpiClassifier> Create();
    ~tfaNdpiClassifier();

    tfaNdpiClassifier(const tfaNdpiClassifier &) = delete;
    tfaNdpiClassifier &operator=(const tfaNdpiClassifier &) = delete;

    // Hands one packet's IP datagram to nDPI. True when the flow's detection completed with it.
    bool Process(Flow &flow, const uint8_t *ip, size_t length, uint64_t time_ms);
    // Completes the detection of a flow that ends before nDPI settled it, with nDPI's guess.
    void GiveUp(Flow &flow);

    // Writes the detection results into `record`. `apps` may be null: no application then.
    void Describe(const Flow &flow, const tdApplications *apps, tdFlow &record) const;

    // nDPI protocol names the protocol table lacks, with the number of flows that had them.
    const std::map<std::string, uint64_t> &GetUnmapped() const { return unmapped; }

    // The protocol table's identifier for a protocol name, ignoring case; 0 when it has none.
    static uint32_t ProtocolId(const std::string &name);
    // The catalogue tag nDPI's application name stands for: "Github" -> "tarvix.github".
    static std::string ApplicationTag(const std::string &name);

private:
    struct Exit {
        void operator()(ndpi_detection_module_struct *module) const;
    };

    explicit tfaNdpiClassifier(ndpi_detection_module_struct *module);
    void Complete(Flow &flow);
    std::string NameOf(uint16_t protocol) const;
    void DescribeDetails(const Flow &flow, uint16_t detected, tdFlow &record) const;

    std::unique_ptr<ndpi_detection_module_struct, Exit> module;
    std::map<std::string, uint64_t> unmapped;
};
