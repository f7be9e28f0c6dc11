#pragma once

#include <cstdint>
#include <memory>
#include <string>

struct pcap;

// One frame of a capture, valid until the reader's next call.
struct tfaCapturedFrame {
    uint64_t number = 0;  // 1 for the capture's first frame
    uint64_t time_us = 0; // microseconds since the epoch
    const uint8_t *data = nullptr;
    size_t captured = 0; // bytes present in `data`
    size_t length = 0;   // bytes the frame had on the wire
};

// Reads a pcap or pcapng capture through libpcap, frame by frame.
class tfaPcapReader
{
public:
    static constexpr const char *STDIN_PATH = "-";
    static constexpr const char *STDIN_NAME = "stdin";

    // Opens `path` ("-": standard input). Throws tdException "<path>: <reason>" when the file
    // cannot be read as a capture or its link type is not one tfaPacketParser reads.
    static std::unique_ptr<tfaPcapReader> Open(const std::string &path);
    ~tfaPcapReader();

    tfaPcapReader(const tfaPcapReader &) = delete;
    tfaPcapReader &operator=(const tfaPcapReader &) = delete;

    // The next frame; false at the end of the capture. Throws tdException
    // "<name>: packet <number>: <reason>" for a truncated or corrupt record; the frames read
    // before it stay valid results.
    bool Next(tfaCapturedFrame &frame);

    int GetLinkType() const { return link_type; }

private:
    tfaPcapReader(pcap *handle, std::string name, int link_type);

    pcap *handle;
    std::string name;
    int link_type;
    uint64_t frames = 0;
};
