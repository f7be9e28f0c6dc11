#pragma once

#include <string>

// The one open handle on the pf device, shared by every pf table target. Used from the worker
// thread and from configuration loading only.
class tfaTargetPFtableConfig
{
public:
    tfaTargetPFtableConfig() = default;
    // Closes the device.
    virtual ~tfaTargetPFtableConfig();

    tfaTargetPFtableConfig(const tfaTargetPFtableConfig &) = delete;
    tfaTargetPFtableConfig &operator=(const tfaTargetPFtableConfig &) = delete;

    // Opens `device` unless already open; false (with a debug line) when it cannot be opened.
    bool Open();
    // Whether pf is enabled; false when the device is closed.
    bool IsRunning();
    // False when already closed or when close(2) fails (the descriptor is then kept).
    bool Close();
    // Stores the path, closes (forgetting a descriptor that fails to close) and opens again.
    // Throws tdException when the open fails.
    void SetDevice(const std::string &device);

    int fd = -1;
    std::string device;
};
