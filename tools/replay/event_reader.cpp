#include "tools/replay/event_reader.hpp"

#include "encoding/json_depth.hpp"
#include "host/exception.hpp"
#include "host/log.hpp"
#include "tools/replay/echo_text.hpp"
#include "tools/replay/dom_json.hpp"
#include "tools/replay/flow_decoder.hpp"
#include "tools/replay/json_members.hpp"

#include <algorithm>
#include <cstring>
#include <map>

namespace
{
using Event = tdPluginProcessor::Event;

const std::map<std::string, Event, std::less<>> flow_types = {
    {"flow", tdPluginProcessor::EVENT_DPI_NEW},
    {"flow_update", tdPluginProcessor::EVENT_DPI_UPDATE},
    {"flow_dpi_complete", tdPluginProcessor::EVENT_DPI_COMPLETE},
    {"flow_purge", tdPluginProcessor::EVENT_FLOW_EXPIRED},
    {"flow_intel", tdPluginProcessor::EVENT_FLOW_INTEL},
};
const std::map<std::string, tfaReplayEvent::Kind, std::less<>> control_types = {
    {"update", tfaReplayEvent::UPDATE},
    {"reload", tfaReplayEvent::RELOAD},
};
const char *const payload_members[] = {
    "type", "reason", "flow_action", "tags", "interface", "internal", "flow", "intel",
};
constexpr const char *REASON_CLOSED = "closed";
constexpr const char *REASON_EXPIRED = "expired";
// A whole message may quote the JSON library's reading of the line as well as excerpts.
constexpr size_t MESSAGE_LIMIT = 4 * tfaEventReader::ECHO_LIMIT;
// What the line parser allocates before the first line; it grows to the longest line.
constexpr size_t INITIAL_CAPACITY = 64 * 1024;
// nlohmann's error id for a number that does not fit a double.
constexpr int NUMBER_OVERFLOW_ID = 406;

std::string Echo(std::string_view text)
{
    return tfaEchoText(text, tfaEventReader::ECHO_LIMIT);
}

using simdjson::dom::element;
using simdjson::dom::element_type;

const element *Member(tfaJsonMembers &payload, const char *key, element_type type,
                      const char *expected)
{
    const element *member = payload.Find(key);
    if (member != nullptr && member->type() != type)
        throw tdException("%s: expected %s", key, expected);
    return member;
}

bool IsBlank(const std::string &text)
{
    return text.find_first_not_of(" \t\r") == std::string::npos;
}

// Faults nlohmann would only find by recursing, or would cut short.
void CheckShape(const std::string &text)
{
    size_t nul = text.find('\0');
    if (nul != std::string::npos)
        throw tdException("NUL byte at column %zu", nul + 1);
    size_t deep = tfaJsonTooDeep(text, tfaEventReader::DEPTH_LIMIT);
    if (deep != std::string_view::npos)
        throw tdException("nested deeper than %zu levels at column %zu",
                          tfaEventReader::DEPTH_LIMIT, deep + 1);
}

// Words a fault as the reader always has, in nlohmann's terms: its parse errors carry the
// line and column and what was read last, which people rely on to find the fault. Returns
// the document when nlohmann reads what the fast parser refused.
json ParseForFault(const std::string &text)
{
    try {
        return json::parse(text);
    } catch (const json::parse_error &e) {
        // The library's text starts with its own error code in brackets; the rest is for people.
        std::string reason = e.what();
        throw tdException("invalid JSON: %s", reason.substr(reason.find("] ") + 2).c_str());
    } catch (const json::out_of_range &e) {
        if (e.id != NUMBER_OVERFLOW_ID)
            throw;
        throw tdException("invalid JSON: a number too large for a double");
    }
}

// One parser for every line a thread reads, so its buffers are allocated once and reused. It
// refuses lines nested deeper than the reader allows, which the fault's wording then locates.
simdjson::dom::parser &LineParser()
{
    thread_local simdjson::dom::parser parser;
    thread_local bool ready = parser.allocate(INITIAL_CAPACITY, tfaEventReader::DEPTH_LIMIT) ==
                              simdjson::SUCCESS;
    if (!ready)
        throw tdException("out of memory for the JSON parser");
    return parser;
}

// A line simdjson refuses is looked at again, slowly, to word the fault as the reader always
// has. simdjson refuses a little that nlohmann has always read: a leading byte-order mark and
// integers past 64 bits (read as doubles). Such a line is read through nlohmann and written out
// again plainly, which simdjson reads as nlohmann did.
element ParseJson(const std::string &text)
{
    simdjson::dom::parser &parser = LineParser();
    element payload;
    if (!parser.parse(text).get(payload))
        return payload;
    CheckShape(text);
    std::string plain = ParseForFault(text).dump();
    if (auto error = parser.parse(plain).get(payload))
        throw tdException("invalid JSON: %s", simdjson::error_message(error));
    return payload;
}

void ReadInterface(tfaJsonMembers &payload, tdFlow &flow)
{
    if (const element *iface = Member(payload, "interface", element_type::STRING, "a string"))
        flow.iface_name = iface->get_string().value_unsafe();
    if (const element *internal = Member(payload, "internal", element_type::BOOL, "a boolean"))
        flow.iface_role =
            internal->get_bool().value_unsafe() ? tdFlow::ROLE_LAN : tdFlow::ROLE_WAN;
}

void ReadReason(tfaJsonMembers &payload, tdFlow &flow)
{
    const element *reason = Member(payload, "reason", element_type::STRING, "a string");
    if (reason == nullptr)
        return;
    std::string_view text = reason->get_string().value_unsafe();
    if (text != REASON_CLOSED && text != REASON_EXPIRED)
        throw tdException("reason: expected \"closed\" or \"expired\": \"%s\"", Echo(text).c_str());
    flow.tcp_closed = text == REASON_CLOSED;
}
} // namespace

tfaEventReader::tfaEventReader(std::istream &input, const std::string &source, size_t line_limit)
    : input(input), source(tfaEchoText(source, MESSAGE_LIMIT)), line_limit(line_limit)
{
}

bool tfaEventReader::Next(tfaReplayEvent &event)
{
    size_t length = 0;
    while (ReadLine(text, length)) {
        lines++;
        if (length > line_limit) {
            Skip("line of " + std::to_string(length) + " bytes, longer than " +
                 std::to_string(line_limit));
            continue;
        }
        if (IsBlank(text))
            continue;
        // The parser reads a little past the line; with room for it, the line is not copied.
        text.reserve(text.size() + simdjson::SIMDJSON_PADDING);
        try {
            event = Parse(text);
            event.line = lines;
            return true;
        } catch (const std::exception &e) {
            Skip(e.what());
        }
    }
    return false;
}

bool tfaEventReader::ReadLine(std::string &line, size_t &length)
{
    line.clear();
    length = 0;
    for (;;) {
        if (chunk_begin == chunk_end && !FillChunk()) {
            input.setstate(std::ios::eofbit);
            return length > 0;
        }
        const char *begin = chunk.data() + chunk_begin;
        size_t available = chunk_end - chunk_begin;
        const char *newline = static_cast<const char *>(memchr(begin, '\n', available));
        size_t part = newline == nullptr ? available : size_t(newline - begin);
        if (length < line_limit)
            line.append(begin, std::min(part, line_limit - length));
        length += part;
        chunk_begin += newline == nullptr ? part : part + 1;
        if (newline != nullptr)
            return true;
    }
}

// Takes what the stream holds already, or waits for at least one byte, so a line that arrives
// on a pipe is read as soon as it is complete.
bool tfaEventReader::FillChunk()
{
    std::streambuf *buffer = input.rdbuf();
    std::streamsize ready = buffer->in_avail();
    if (ready <= 0) {
        if (std::istream::traits_type::eq_int_type(buffer->sgetc(), std::istream::traits_type::eof()))
            return false;
        ready = std::max<std::streamsize>(buffer->in_avail(), 1);
    }
    chunk.resize(CHUNK_SIZE);
    chunk_begin = 0;
    chunk_end = size_t(buffer->sgetn(chunk.data(), std::min<std::streamsize>(ready, CHUNK_SIZE)));
    return chunk_end > 0;
}

void tfaEventReader::Skip(const std::string &reason)
{
    skipped++;
    td_printf("%s:%zu: %s\n", source.c_str(), lines, tfaEchoText(reason, MESSAGE_LIMIT).c_str());
}

tfaReplayEvent tfaEventReader::Parse(const std::string &text)
{
    element root = ParseJson(text);
    if (!root.is_object())
        throw tdException("not a JSON object: %s", tfaDomToJson(root).type_name());
    tfaJsonMembers payload(root.get_object().value_unsafe());
    for (const char *name : payload_members)
        payload.Find(name);
    if (const tfaJsonMembers::Member *unknown = payload.FirstUnread())
        throw tdException("%s: unknown member", Echo(unknown->key).c_str());

    const element *type = Member(payload, "type", element_type::STRING, "a string");
    if (type == nullptr)
        throw tdException("type: missing");
    std::string_view type_name = type->get_string().value_unsafe();

    tfaReplayEvent event;
    auto control = control_types.find(type_name);
    if (control != control_types.end()) {
        event.kind = control->second;
        return event;
    }
    auto kind = flow_types.find(type_name);
    if (kind == flow_types.end())
        throw tdException("type: unknown event type: \"%s\"", Echo(type_name).c_str());
    event.event = kind->second;

    const element *flow = Member(payload, "flow", element_type::OBJECT, "an object");
    if (flow == nullptr)
        throw tdException("flow: missing");
    event.flow = std::make_shared<tdFlow>();
    tfaFlowDecoder::Decode(*flow, *event.flow);
    ReadInterface(payload, *event.flow);
    if (event.event == tdPluginProcessor::EVENT_FLOW_EXPIRED)
        ReadReason(payload, *event.flow);
    if (event.event == tdPluginProcessor::EVENT_DPI_COMPLETE)
        event.flow->detection_complete = true;

    if (event.flow->digest == 0)
        event.flow->digest = tfaFlowDecoder::TupleDigest(*event.flow);
    event.digest = event.flow->digest;

    const element *intel = payload.Find("intel");
    event.intel = intel == nullptr ? json::object() : tfaDomToJson(*intel);
    return event;
}
