#include "tools/replay/ndpi_classifier.hpp"

#include "host/applications.hpp"
#include "host/exception.hpp"
#include "rules/protocols.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>
#include <ndpi_api.h>

namespace
{
constexpr const char *APPLICATION_PREFIX = "tarvix.";
constexpr const char *COMMON_NAME = "CN=";
constexpr size_t RISK_BITS = 64;

std::string Lower(const std::string &text)
{
    std::string lower = text;
    for (char &c : lower)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return lower;
}

const std::unordered_map<std::string, uint32_t> &ProtocolsByName()
{
    static const auto by_name = []() {
        std::unordered_map<std::string, uint32_t> names;
        for (const auto &entry : tdProto::GetNames())
            if (entry.first > 0)
                names.emplace(Lower(entry.second), static_cast<uint32_t>(entry.first));
        return names;
    }();
    return by_name;
}

std::string Text(const char *text)
{
    return text == nullptr ? std::string() : std::string(text);
}

std::vector<std::string> Split(const char *list)
{
    std::vector<std::string> items;
    std::string item;
    for (const char *c = list; c != nullptr && *c != '\0'; c++) {
        if (*c != ',') {
            item += *c;
            continue;
        }
        if (!item.empty())
            items.push_back(item);
        item.clear();
    }
    if (!item.empty())
        items.push_back(item);
    return items;
}

// The common name of a distinguished name nDPI wrote as "C=.., O=.., CN=name".
std::string CommonName(const std::string &dn)
{
    size_t start = 0;
    while ((start = dn.find(COMMON_NAME, start)) != std::string::npos) {
        if (start == 0 || dn[start - 1] == ',' || dn[start - 1] == ' ')
            break;
        start++;
    }
    if (start == std::string::npos)
        return "";
    start += strlen(COMMON_NAME);
    return dn.substr(start, dn.find(',', start) - start);
}

uint16_t Detected(uint16_t master, uint16_t application)
{
    return master != NDPI_PROTOCOL_UNKNOWN ? master : application;
}

void DescribeTLS(const ndpi_flow_struct &state, tdFlow &record)
{
    const auto &tls = state.protos.tls_quic;
    record.tls_version = tls.ssl_version;
    record.tls_cipher_suite = tls.server_cipher;
    record.tls_subject_dn = Text(tls.subjectDN);
    record.tls_issuer_dn = Text(tls.issuerDN);
    record.tls_server_cn = CommonName(record.tls_subject_dn);
    record.tls_alpn = Split(tls.alpn);
    const uint8_t *fingerprint = tls.sha1_certificate_fingerprint;
    const uint8_t *end = fingerprint + sizeof(tls.sha1_certificate_fingerprint);
    if (std::any_of(fingerprint, end, [](uint8_t byte) { return byte != 0; }))
        record.tls_cert_fingerprint.assign(fingerprint, end);
}

void DescribeRisks(const ndpi_flow_struct &state, tdFlow &record)
{
    for (size_t bit = 0; bit < RISK_BITS; bit++)
        if ((state.risk & (static_cast<ndpi_risk>(1) << bit)) != 0)
            record.risks.insert(static_cast<int32_t>(bit));
    uint16_t client = 0, server = 0;
    record.risk_score = ndpi_risk2score(state.risk, &client, &server);
    record.risk_score_client = client;
    record.risk_score_server = server;
}
} // namespace

void tfaNdpiClassifier::Flow::Free::operator()(ndpi_flow_struct *flow) const
{
    ndpi_free_flow(flow);
}

tfaNdpiClassifier::Flow::Flow()
    : state(static_cast<ndpi_flow_struct *>(ndpi_flow_malloc(SIZEOF_FLOW_STRUCT)))
{
    if (!state)
        throw std::bad_alloc();
    memset(state.get(), 0, SIZEOF_FLOW_STRUCT);
}

tfaNdpiClassifier::Flow::~Flow() = default;

void tfaNdpiClassifier::Exit::operator()(ndpi_detection_module_struct *module) const
{
    ndpi_exit_detection_module(module);
}

std::unique_ptr<tfaNdpiClassifier> tfaNdpiClassifier::Create()
{
    ndpi_detection_module_struct *module = ndpi_init_detection_module(ndpi_no_prefs);
    if (module == nullptr)
        throw tdException("nDPI: the detection module could not be set up");
    NDPI_PROTOCOL_BITMASK all;
    NDPI_BITMASK_SET_ALL(all);
    ndpi_set_protocol_detection_bitmask2(module, &all);
    ndpi_finalize_initialization(module);
    return std::unique_ptr<tfaNdpiClassifier>(new tfaNdpiClassifier(module));
}

tfaNdpiClassifier::tfaNdpiClassifier(ndpi_detection_module_struct *module) : module(module)
{
}

tfaNdpiClassifier::~tfaNdpiClassifier() = default;

bool tfaNdpiClassifier::Process(Flow &flow, const uint8_t *ip, size_t length, uint64_t time_ms)
{
    if (flow.complete)
        return false;
    auto size = static_cast<unsigned short>(
        std::min<size_t>(length, std::numeric_limits<unsigned short>::max()));
    ndpi_protocol found =
        ndpi_detection_process_packet(module.get(), flow.state.get(), ip, size, time_ms);
    flow.master = found.master_protocol;
    flow.application = found.app_protocol;
    flow.packets++;
    bool detected =
        flow.master != NDPI_PROTOCOL_UNKNOWN || flow.application != NDPI_PROTOCOL_UNKNOWN;
    if (detected && !ndpi_extra_dissection_possible(module.get(), flow.state.get()))
        Complete(flow);
    else if (flow.packets >= MAX_DETECTION_PACKETS)
        detected ? Complete(flow) : GiveUp(flow);
    return flow.complete;
}

void tfaNdpiClassifier::GiveUp(Flow &flow)
{
    if (flow.complete)
        return;
    uint8_t guessed = 0;
    ndpi_protocol found = ndpi_detection_giveup(module.get(), flow.state.get(), 1, &guessed);
    flow.master = found.master_protocol;
    flow.application = found.app_protocol;
    flow.guessed = guessed != 0;
    Complete(flow);
}

void tfaNdpiClassifier::Complete(Flow &flow)
{
    flow.complete = true;
    uint16_t detected = Detected(flow.master, flow.application);
    std::string name = NameOf(detected);
    if (detected != NDPI_PROTOCOL_UNKNOWN && ProtocolId(name) == 0)
        unmapped[name]++;
}

std::string tfaNdpiClassifier::NameOf(uint16_t protocol) const
{
    return Text(ndpi_get_proto_name(module.get(), protocol));
}

uint32_t tfaNdpiClassifier::ProtocolId(const std::string &name)
{
    auto it = ProtocolsByName().find(Lower(name));
    return it == ProtocolsByName().end() ? 0 : it->second;
}

std::string tfaNdpiClassifier::ApplicationTag(const std::string &name)
{
    std::string tag = APPLICATION_PREFIX;
    for (char c : name)
        if (isalnum(static_cast<unsigned char>(c)))
            tag += static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return tag;
}

void tfaNdpiClassifier::Describe(const Flow &flow, const tdApplications *apps, tdFlow &record) const
{
    uint16_t detected = Detected(flow.master, flow.application);
    record.stats.detection_packets =
        static_cast<uint8_t>(std::min<uint32_t>(flow.packets, UINT8_MAX));
    record.detection_guessed = flow.guessed;
    record.detected_protocol = ProtocolId(NameOf(detected));
    if (record.detected_protocol != 0)
        record.detected_protocol_name =
            tdProto::GetNames().at(static_cast<tdProto::Id>(record.detected_protocol));
    record.master_protocol =
        detected == NDPI_PROTOCOL_TLS ? record.detected_protocol : ProtocolId(NameOf(flow.master));

    tdApplication app;
    if (apps != nullptr && flow.application != NDPI_PROTOCOL_UNKNOWN &&
        apps->Lookup(ApplicationTag(NameOf(flow.application)), app)) {
        record.detected_application = app.id;
        record.detected_application_name = std::to_string(app.id) + "." + app.tag;
    }
    DescribeDetails(flow, detected, record);
    DescribeRisks(*flow.state, record);
}

void tfaNdpiClassifier::DescribeDetails(const Flow &flow, uint16_t detected, tdFlow &record) const
{
    const ndpi_flow_struct &state = *flow.state;
    record.host_server_name = Text(state.host_server_name);
    // nDPI's per-protocol details share one union: only the detected protocol's part is read.
    switch (detected) {
    case NDPI_PROTOCOL_DNS:
        record.dns_host_name = record.host_server_name;
        break;
    case NDPI_PROTOCOL_TLS:
    case NDPI_PROTOCOL_QUIC:
        DescribeTLS(state, record);
        break;
    case NDPI_PROTOCOL_SSH:
        record.ssh_client_agent = Text(state.protos.ssh.client_signature);
        record.ssh_server_agent = Text(state.protos.ssh.server_signature);
        break;
    case NDPI_PROTOCOL_DHCP:
        record.dhcp_fingerprint = Text(state.protos.dhcp.fingerprint);
        record.dhcp_class_ident = Text(state.protos.dhcp.class_ident);
        break;
    case NDPI_PROTOCOL_HTTP:
        record.user_agent = Text(state.http.user_agent);
        record.http_url = Text(state.http.url);
        break;
    default:
        break;
    }
}
