// Feeds arbitrary bytes to the replay host's reader as the content of a flow file: every line is
// decoded into a flow record or skipped with a counted, reported reason; nothing may crash, hang
// or throw out of the reader.

#include "agent/log_control.hpp"
#include "tools/replay/event_reader.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool quiet = (td_set_log_hook([](bool, const std::string &) {}), true);
    (void)quiet;
    std::istringstream input(std::string(reinterpret_cast<const char *>(data), size));
    tfaEventReader reader(input, "fuzz");
    tfaReplayEvent event;
    size_t events = 0;
    while (reader.Next(event)) {
        events++;
        if (event.kind == tfaReplayEvent::FLOW && (!event.flow || event.digest == 0))
            abort();
    }
    if (events + reader.GetSkipped() > reader.GetLines())
        abort();
    return 0;
}
