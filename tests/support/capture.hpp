#pragma once

#include <mutex>
#include <string>
#include <vector>

// Captures the host's log and debug lines for the lifetime of the object, with debug output on.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();

    // Every captured line, in order; debug lines and log lines alike.
    std::vector<std::string> Lines() const;
    std::vector<std::string> LogLines() const;
    std::vector<std::string> DebugLines() const;
    bool Contains(const std::string &line) const;
    void Clear();

private:
    struct Line {
        bool debug;
        std::string text;
    };
    mutable std::mutex lock;
    std::vector<Line> lines;
    bool previous_debug;
};
