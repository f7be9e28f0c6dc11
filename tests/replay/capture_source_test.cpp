// Packet captures turned into the plug-in's flow events: the capture shipped in examples/, and
// small captures made here for what a capture can hold (faults, frames that are no flow).
#include "host/applications.hpp"
#include "host/time_of_day.hpp"
#include "sim/pf/pfsim.hpp"
#include "support/capture.hpp"
#include "support/pcap_builder.hpp"
#include "tools/replay/capture_source.hpp"

#include <ctime>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <unistd.h>

namespace
{
using B = PcapBuilder;
using Event = tdPluginProcessor::Event;

const std::string shipped = std::string(TFA_SOURCE_DIR) + "/examples/capture.pcap";
const std::string catalogue = std::string(TFA_SOURCE_DIR) + "/examples/applications.json";
constexpr uint64_t T0 = 1700000000000000ULL; // microseconds
constexpr uint64_t SECOND = 1000000;

std::vector<tfaReplayEvent> ReadAll(const tfaCaptureSource::Options &options,
                                    const tdApplications *apps = nullptr)
{
    auto source = tfaCaptureSource::Create(options, apps, nullptr);
    std::vector<tfaReplayEvent> events;
    tfaReplayEvent event;
    while (source->Next(event))
        events.push_back(event);
    return events;
}

tfaCaptureSource::Options Captures(const std::vector<std::string> &paths)
{
    tfaCaptureSource::Options options;
    options.captures = paths;
    options.update_interval = 0;
    return options;
}

// A scratch capture file, removed with the object.
class ScratchCapture
{
public:
    explicit ScratchCapture(const B::Bytes &bytes)
    {
        char pattern[] = "/tmp/tfa-capture-test-XXXXXX";
        int fd = mkstemp(pattern);
        close(fd);
        path = pattern;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    explicit ScratchCapture(const B &capture) : ScratchCapture(capture.Get()) {}
    ~ScratchCapture() { unlink(path.c_str()); }
    std::string path;
};

B::Bytes DnsQuery(uint16_t src_port)
{
    return B::Frame(1, 2, B::IP(B::UDP, "192.168.1.10", "192.0.2.53", B::Udp(src_port, 53)));
}

struct Expected {
    uint8_t ip_protocol;
    const char *local_ip;
    uint16_t local_port;
    const char *other_ip;
    uint16_t other_port;
    const char *other_type;
    const char *protocol;
    const char *application;
    const char *host_server_name;
};

TEST(CaptureSource, TheShippedCaptureGivesItsFlows)
{
    const Expected expected[] = {
        {58, "::", 0, "ff02::16", 0, "multicast", "ICMPv6", "", ""},
        {58, "fe80::6c28:ffff:fe01:1911", 0, "ff02::16", 0, "multicast", "ICMPv6", "", ""},
        {58, "fe80::dc88:8eff:fec4:92da", 0, "ff02::16", 0, "multicast", "ICMPv6", "", ""},
        {17, "192.168.77.10", 33020, "203.0.113.53", 53, "remote", "DNS", "", "www.tarvix.test"},
        {6, "192.168.77.10", 47236, "198.51.100.7", 443, "remote", "TLS", "", "www.tarvix.test"},
        {6, "192.168.77.10", 47244, "198.51.100.7", 443, "remote", "TLS", "51.tarvix.github",
         "github.com"},
        {6, "192.168.77.10", 38232, "198.51.100.7", 22, "remote", "SSH", "", ""},
        {6, "fd00:77::10", 55654, "2001:db8:77::7", 80, "remote", "HTTP", "", "www.tarvix.test"},
    };
    tdApplications apps;
    apps.Load(catalogue);
    auto events = ReadAll(Captures({shipped}), &apps);

    // Each flow: dpi_new, dpi_complete, flow_expired, in this order; the completion carries
    // the classification.
    std::map<uint64_t, std::vector<Event>> order;
    std::map<std::string, std::shared_ptr<tdFlow>> completed; // by "local -> other"
    for (const auto &event : events) {
        ASSERT_EQ(event.kind, tfaReplayEvent::FLOW);
        order[event.digest].push_back(event.event);
        if (event.event != tdPluginProcessor::EVENT_DPI_COMPLETE)
            continue;
        const tdFlow &f = *event.flow;
        bool lower_local = f.lower_map != tdFlow::LOWER_MAP_OTHER;
        const tdAddr &local = lower_local ? f.lower_addr : f.upper_addr;
        const tdAddr &other = lower_local ? f.upper_addr : f.lower_addr;
        completed[local.GetString(tdAddr::MakeFlags::PORT) + " -> " +
                  other.GetString(tdAddr::MakeFlags::PORT)] = event.flow;
    }
    ASSERT_EQ(order.size(), std::size(expected));
    for (const auto &flow : order)
        EXPECT_EQ(flow.second, (std::vector<Event>{tdPluginProcessor::EVENT_DPI_NEW,
                                                   tdPluginProcessor::EVENT_DPI_COMPLETE,
                                                   tdPluginProcessor::EVENT_FLOW_EXPIRED}));

    for (const auto &row : expected) {
        tdAddr local, other;
        tdAddr::Create(local, row.local_ip);
        tdAddr::Create(other, row.other_ip);
        local.SetPort(row.local_port);
        other.SetPort(row.other_port);
        std::string key = local.GetString(tdAddr::MakeFlags::PORT) + " -> " +
                          other.GetString(tdAddr::MakeFlags::PORT);
        SCOPED_TRACE(key);
        ASSERT_EQ(completed.count(key), 1u);
        const tdFlow &f = *completed[key];
        EXPECT_EQ(f.ip_protocol, row.ip_protocol);
        EXPECT_STREQ(tdFlow::GetOtherTypeText(f.other_type), row.other_type);
        EXPECT_EQ(f.detected_protocol_name, row.protocol);
        EXPECT_EQ(f.detected_application_name, row.application);
        EXPECT_EQ(f.host_server_name, row.host_server_name);
        EXPECT_EQ(f.iface_name, tfaCaptureSource::DEFAULT_INTERFACE);
        EXPECT_TRUE(f.lower_mac.IsEthernet() && f.upper_mac.IsEthernet());
        EXPECT_GT(f.stats.total_packets, 0u);
        EXPECT_EQ(f.ts_first_seen <= f.ts_last_seen, true);
    }

    const tdFlow &dns = *completed["192.168.77.10:33020 -> 203.0.113.53:53"];
    EXPECT_EQ(dns.dns_host_name, "www.tarvix.test");
    EXPECT_EQ(dns.detected_protocol, 5u);
    const tdFlow &tls12 = *completed["192.168.77.10:47236 -> 198.51.100.7:443"];
    EXPECT_EQ(tls12.master_protocol, 91u);
    EXPECT_EQ(tls12.tls_version, 0x0303);
    EXPECT_EQ(tls12.tls_server_cn, "www.tarvix.test");
    EXPECT_EQ(tls12.tls_issuer_dn, "O=Tarvix Example, CN=www.tarvix.test");
    EXPECT_EQ(tls12.tls_cert_fingerprint.size(), 20u);
    EXPECT_EQ(tls12.risks, (std::set<int32_t>{6, 32})); // self-signed, valid too long
    // TLS 1.3 encrypts the certificate: nDPI sees the server name only.
    const tdFlow &tls13 = *completed["192.168.77.10:47244 -> 198.51.100.7:443"];
    EXPECT_EQ(tls13.tls_version, 0x0304);
    EXPECT_EQ(tls13.tls_server_cn, "");
    const tdFlow &ssh = *completed["192.168.77.10:38232 -> 198.51.100.7:22"];
    EXPECT_EQ(ssh.ssh_client_agent, "SSH-2.0-OpenSSH_9.2p1 Debian-2+deb12u10");
    EXPECT_EQ(ssh.ssh_server_agent, "SSH-2.0-OpenSSH_9.2p1 Debian-2+deb12u10");
    const tdFlow &http = *completed["[fd00:77::10]:55654 -> [2001:db8:77::7]:80"];
    EXPECT_EQ(http.user_agent, "curl/7.88.1");

    // The TCP connections ended with FINs; the others timed out at the end of the capture.
    for (const auto &event : events) {
        if (event.event != tdPluginProcessor::EVENT_FLOW_EXPIRED)
            continue;
        EXPECT_EQ(event.flow->tcp_closed, event.flow->ip_protocol == 6);
    }
}

TEST(CaptureSource, OnlyNonIPFramesGiveNoFlows)
{
    ScratchCapture capture(B().Add(T0, B::Arp(1)).Add(T0 + 1, B::Arp(2)).Add(T0 + 2, B::Arp(3)));
    LogCapture log;
    auto source = tfaCaptureSource::Create(Captures({capture.path}), nullptr, nullptr);
    tfaReplayEvent event;
    EXPECT_FALSE(source->Next(event));
    EXPECT_EQ(source->GetFrames(), 3u);
    EXPECT_EQ(source->GetFlows(), 0u);
    EXPECT_EQ(source->GetFaults(), 0u);
    EXPECT_TRUE(log.LogLines().empty());
}

// A fault in the middle of a capture is reported with the packet it hit; the flows read before
// it end as usual, and the next capture is still read.
TEST(CaptureSource, FaultsNameThePacketAndKeepTheFlows)
{
    B two_flows;
    two_flows.Add(T0, DnsQuery(1000)).Add(T0 + 1, DnsQuery(1001));
    size_t third_record = two_flows.Get().size();
    B::Bytes bogus_length = B(two_flows).Add(T0 + 2, DnsQuery(1002)).Get();
    bogus_length[third_record + 8] = 0xff; // a captured length far beyond the snap length
    bogus_length[third_record + 9] = 0xff;
    bogus_length[third_record + 10] = 0xff;

    struct Row {
        const char *name;
        B::Bytes bytes;
        const char *reason;
    };
    const Row rows[] = {
        {"cut inside a record header",
         B(two_flows).Add(T0 + 2, DnsQuery(1002)).Truncate(third_record + 7).Get(),
         "truncated dump file"},
        {"cut inside a frame",
         B(two_flows).Add(T0 + 2, DnsQuery(1002)).Truncate(third_record + 30).Get(),
         "truncated dump file"},
        {"captured length beyond the snap length", bogus_length, "invalid packet capture length"},
    };
    ScratchCapture next(B().Add(T0 + 5, DnsQuery(2000)));
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        ScratchCapture broken(row.bytes);
        LogCapture log;
        auto source =
            tfaCaptureSource::Create(Captures({broken.path, next.path}), nullptr, nullptr);
        std::vector<tfaReplayEvent> events;
        tfaReplayEvent event;
        while (source->Next(event))
            events.push_back(event);

        ASSERT_EQ(log.LogLines().size(), 1u);
        std::string expected = broken.path + ": packet 3: " + row.reason;
        EXPECT_EQ(log.LogLines()[0].compare(0, expected.size(), expected), 0) << log.LogLines()[0];
        EXPECT_EQ(source->GetFaults(), 1u);
        EXPECT_EQ(source->GetFlows(), 3u); // two before the fault, one from the next capture
        EXPECT_EQ(events.size(), 9u);
    }
}

TEST(CaptureSource, FaultsOfTheFirstCaptureStopTheStart)
{
    ScratchCapture not_a_capture(B().Truncate(10));
    struct Row {
        const char *name;
        tfaCaptureSource::Options options;
        std::string message;
        bool exact; // false: libpcap's own words follow
    };
    tfaCaptureSource::Options idle = Captures({not_a_capture.path});
    idle.idle = 0;
    tfaCaptureSource::Options network = Captures({not_a_capture.path});
    network.local_networks = {"192.168.0.0/33"};
    const Row rows[] = {
        {"idle time", idle, "--idle: expected seconds above 0: 0", true},
        {"local network", network,
         "--local-net: expected an address and prefix length: 192.168.0.0/33", true},
        {"missing file", Captures({"/nonexistent/x.pcap"}),
         "/nonexistent/x.pcap: No such file or directory", true},
        {"not a capture", Captures({not_a_capture.path}),
         not_a_capture.path + ": truncated dump file", false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        try {
            tfaCaptureSource::Create(row.options, nullptr, nullptr);
            ADD_FAILURE() << "no exception";
        } catch (const std::exception &e) {
            std::string what = e.what();
            EXPECT_EQ(row.exact ? what : what.substr(0, row.message.size()), row.message) << what;
        }
    }
}

// While a capture is read, the clocks the plug-in reads time from follow it; afterwards they
// are the wall clock again.
TEST(CaptureSource, ClocksFollowTheCapture)
{
    tdTimeOfDay window;
    window.timezone = "UTC";
    {
        ScratchCapture capture(B().Add(T0 + 3 * SECOND, DnsQuery(1000)));
        auto source = tfaCaptureSource::Create(Captures({capture.path}), nullptr, nullptr);
        tfaReplayEvent event;
        ASSERT_TRUE(source->Next(event));
        EXPECT_EQ(pfsim::Now(), static_cast<int64_t>(T0 / SECOND + 3));
        EXPECT_EQ(window.TickUpdate(), static_cast<int64_t>(T0 / SECOND + 3));
    }
    EXPECT_GE(pfsim::Now(), static_cast<int64_t>(time(nullptr)) - 1);
    window.last_update = 0;
    EXPECT_GE(window.TickUpdate(), static_cast<int64_t>(time(nullptr)) - 1);
}

TEST(CaptureSource, UpdatesComeInCaptureTime)
{
    B capture;
    for (uint64_t second : {0, 10, 20, 25, 70})
        capture.Add(T0 + second * SECOND, DnsQuery(1000));
    ScratchCapture file(capture);
    tfaCaptureSource::Options options = Captures({file.path});
    options.update_interval = 15;
    options.idle = 30;
    std::vector<std::string> kinds;
    for (const auto &event : ReadAll(options)) {
        if (event.kind == tfaReplayEvent::UPDATE)
            kinds.push_back("update");
        else if (event.event == tdPluginProcessor::EVENT_DPI_NEW)
            kinds.push_back("new");
        else if (event.event == tdPluginProcessor::EVENT_FLOW_EXPIRED)
            kinds.push_back("expired");
    }
    // Updates at 20 s (15 after the first packet) and at 70 s; the flow idle since 25 s ends
    // before the second update, and a new one starts with the packet at 70 s.
    EXPECT_EQ(kinds,
              (std::vector<std::string>{"new", "update", "expired", "update", "new", "expired"}));
}
} // namespace
