#include "support/capture.hpp"

#include <algorithm>

#include "agent/log_control.hpp"
#include "host/log.hpp"

LogCapture::LogCapture() : previous_debug(td_debug_enabled())
{
    td_set_debug(true);
    td_set_log_hook([this](bool debug, const std::string &text) {
        std::lock_guard<std::mutex> guard(lock);
        lines.push_back({debug, text});
    });
}

LogCapture::~LogCapture()
{
    td_set_log_hook(nullptr);
    td_set_debug(previous_debug);
}

std::vector<std::string> LogCapture::Lines() const
{
    std::lock_guard<std::mutex> guard(lock);
    std::vector<std::string> texts;
    for (const auto &line : lines)
        texts.push_back(line.text);
    return texts;
}

std::vector<std::string> LogCapture::LogLines() const
{
    std::lock_guard<std::mutex> guard(lock);
    std::vector<std::string> texts;
    for (const auto &line : lines)
        if (!line.debug)
            texts.push_back(line.text);
    return texts;
}

std::vector<std::string> LogCapture::DebugLines() const
{
    std::lock_guard<std::mutex> guard(lock);
    std::vector<std::string> texts;
    for (const auto &line : lines)
        if (line.debug)
            texts.push_back(line.text);
    return texts;
}

bool LogCapture::Contains(const std::string &text) const
{
    auto all = Lines();
    return std::find(all.begin(), all.end(), text) != all.end();
}

void LogCapture::Clear()
{
    std::lock_guard<std::mutex> guard(lock);
    lines.clear();
}
