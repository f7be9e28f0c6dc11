#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// Standard error of the replay host. The host's log and debug lines go there through this
// object, and on a terminal a one-line progress display stays beneath them: events read, events
// a second, and events the plug-in has taken so far. Off a terminal there is no progress line.
//
// It also watches the lines for the host's report that a plug-in thread ended by exception, so
// that waiting for the plug-in's worker can stop when the worker is gone.
class tfaReplayConsole
{
public:
    // Installs the console as the receiver of the host's log lines; `tag` is the plug-in's.
    explicit tfaReplayConsole(const std::string &tag);
    // Clears the progress line and gives log lines back to standard error.
    ~tfaReplayConsole();

    tfaReplayConsole(const tfaReplayConsole &) = delete;
    tfaReplayConsole &operator=(const tfaReplayConsole &) = delete;

    // Shows progress when standard error is a terminal, asking the two counts a few times a
    // second from a thread of its own.
    void StartProgress(std::function<uint64_t()> read, std::function<uint64_t()> taken);
    void StopProgress();

    bool WorkerStopped() const { return worker_stopped; }

private:
    void Write(const std::string &text);
    void ShowProgress();

    std::string worker_end;
    std::atomic<bool> worker_stopped{false};

    std::mutex lock;
    std::condition_variable cond;
    bool progress_shown = false;
    bool stopping = false;
    std::thread progress;
    std::function<uint64_t()> read;
    std::function<uint64_t()> taken;
};
