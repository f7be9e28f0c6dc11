#include "tools/replay/replay_console.hpp"

#include "agent/log_control.hpp"
#include "host/log.hpp"

#include <chrono>
#include <cstdio>
#include <unistd.h>

namespace
{
// What the host's thread entry writes when a plug-in's thread ends by exception.
constexpr const char *THREAD_END = ": thread ended by exception: ";
constexpr const char *CLEAR_LINE = "\r\033[K";
constexpr std::chrono::milliseconds PROGRESS_PERIOD{200};
} // namespace

tfaReplayConsole::tfaReplayConsole(const std::string &tag) : worker_end(tag + THREAD_END)
{
    td_set_log_hook([this](bool, const std::string &text) { Write(text); });
}

tfaReplayConsole::~tfaReplayConsole()
{
    StopProgress();
    td_set_log_hook(nullptr);
}

void tfaReplayConsole::Write(const std::string &text)
{
    if (text.compare(0, worker_end.size(), worker_end) == 0)
        worker_stopped = true;
    std::lock_guard<std::mutex> guard(lock);
    if (progress_shown) {
        fputs(CLEAR_LINE, stderr);
        progress_shown = false;
    }
    fputs(text.c_str(), stderr);
}

void tfaReplayConsole::StartProgress(std::function<uint64_t()> read,
                                     std::function<uint64_t()> taken)
{
    if (!isatty(STDERR_FILENO) || progress.joinable())
        return;
    this->read = std::move(read);
    this->taken = std::move(taken);
    stopping = false;
    progress = std::thread([this]() { ShowProgress(); });
}

void tfaReplayConsole::StopProgress()
{
    if (!progress.joinable())
        return;
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
    }
    cond.notify_all();
    progress.join();
    std::lock_guard<std::mutex> guard(lock);
    if (progress_shown)
        fputs(CLEAR_LINE, stderr);
    progress_shown = false;
}

void tfaReplayConsole::ShowProgress()
{
    auto start = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> guard(lock);
    while (!cond.wait_for(guard, PROGRESS_PERIOD, [this]() { return stopping; })) {
        guard.unlock();
        uint64_t events = read(), done = taken();
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        guard.lock();
        fprintf(stderr, "%sreplay: %llu events read, %.0f events/s, %llu processed", CLEAR_LINE,
                static_cast<unsigned long long>(events),
                seconds > 0 ? static_cast<double>(events) / seconds : 0.0,
                static_cast<unsigned long long>(done));
        fflush(stderr);
        progress_shown = true;
    }
}
