#include "agent/log_control.hpp"
#include "host/log.hpp"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <utility>

#include "agent/format.hpp"

namespace {
std::atomic<bool> debug_enabled{false};
std::mutex output_lock;
tdLogHook output_hook;

void write_line(bool debug, const char *format, va_list ap)
{
    std::string text = td_vformat(format, ap);
    std::lock_guard<std::mutex> guard(output_lock);
    if (output_hook) {
        output_hook(debug, text);
        return;
    }
    fputs(text.c_str(), stderr);
}
} // namespace

void td_printf(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    write_line(false, format, ap);
    va_end(ap);
}

void td_dprintf(const char *format, ...)
{
    if (!debug_enabled.load(std::memory_order_relaxed))
        return;
    va_list ap;
    va_start(ap, format);
    write_line(true, format, ap);
    va_end(ap);
}

void td_set_debug(bool enabled) { debug_enabled = enabled; }

bool td_debug_enabled() { return debug_enabled.load(std::memory_order_relaxed); }

tdLogHook td_set_log_hook(tdLogHook hook)
{
    std::lock_guard<std::mutex> guard(output_lock);
    std::swap(output_hook, hook);
    return hook;
}
