#include "tools/replay/pcap_reader.hpp"

#include "host/exception.hpp"
#include "tools/replay/packet_parser.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <pcap/pcap.h>

namespace
{
constexpr uint64_t MICROSECONDS = 1000000;
} // namespace

std::unique_ptr<tfaPcapReader> tfaPcapReader::Open(const std::string &path)
{
    bool from_stdin = path == STDIN_PATH;
    std::string name = from_stdin ? STDIN_NAME : path;
    // Opened here so that a missing file is reported like every other fault, the path once.
    FILE *file = from_stdin ? stdin : fopen(path.c_str(), "rb");
    if (file == nullptr)
        throw tdException("%s: %s", name.c_str(), strerror(errno));
    char error[PCAP_ERRBUF_SIZE] = "";
    // Nanosecond captures are scaled down by libpcap; flow times are in milliseconds anyway.
    pcap_t *handle =
        pcap_fopen_offline_with_tstamp_precision(file, PCAP_TSTAMP_PRECISION_MICRO, error);
    if (handle == nullptr) {
        if (!from_stdin)
            fclose(file);
        throw tdException("%s: %s", name.c_str(), error);
    }
    int link_type = pcap_datalink(handle);
    if (!tfaPacketParser::IsSupported(link_type)) {
        const char *link_name = pcap_datalink_val_to_name(link_type);
        pcap_close(handle);
        throw tdException("%s: link type %d (%s) is not supported", name.c_str(), link_type,
                          link_name != nullptr ? link_name : "unknown");
    }
    return std::unique_ptr<tfaPcapReader>(new tfaPcapReader(handle, name, link_type));
}

tfaPcapReader::tfaPcapReader(pcap *handle, std::string name, int link_type)
    : handle(handle), name(std::move(name)), link_type(link_type)
{
}

tfaPcapReader::~tfaPcapReader()
{
    pcap_close(handle);
}

bool tfaPcapReader::Next(tfaCapturedFrame &frame)
{
    pcap_pkthdr *header = nullptr;
    const u_char *data = nullptr;
    int rc = pcap_next_ex(handle, &header, &data);
    if (rc == PCAP_ERROR_BREAK)
        return false;
    if (rc != 1)
        throw tdException("%s: packet %llu: %s", name.c_str(),
                          static_cast<unsigned long long>(frames + 1), pcap_geterr(handle));
    frames++;
    frame.number = frames;
    // A time before the epoch can only be a fault of the capture; it reads as the epoch.
    frame.time_us = header->ts.tv_sec < 0 || header->ts.tv_usec < 0
                        ? 0
                        : static_cast<uint64_t>(header->ts.tv_sec) * MICROSECONDS +
                              static_cast<uint64_t>(header->ts.tv_usec);
    frame.data = data;
    frame.captured = header->caplen;
    frame.length = header->len;
    return true;
}
