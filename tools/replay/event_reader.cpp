#include "tools/replay/event_reader.hpp"

#include "encoding/json_depth.hpp"
#include "host/exception.hpp"
#include "host/log.hpp"
#include "tools/replay/echo_text.hpp"
#include "tools/replay/flow_decoder.hpp"

#include <map>
#include <set>

namespace
{
using Event = tdPluginProcessor::Event;

const std::map<std::string, Event> flow_types = {
    {"flow", tdPluginProcessor::EVENT_DPI_NEW},
    {"flow_update", tdPluginProcessor::EVENT_DPI_UPDATE},
    {"flow_dpi_complete", tdPluginProcessor::EVENT_DPI_COMPLETE},
    {"flow_purge", tdPluginProcessor::EVENT_FLOW_EXPIRED},
    {"flow_intel", tdPluginProcessor::EVENT_FLOW_INTEL},
};
const std::map<std::string, tfaReplayEvent::Kind> control_types = {
    {"update", tfaReplayEvent::UPDATE},
    {"reload", tfaReplayEvent::RELOAD},
};
const std::set<std::string> payload_members = {
    "type", "reason", "flow_action", "tags", "interface", "internal", "flow", "intel",
};
constexpr const char *REASON_CLOSED = "closed";
constexpr const char *REASON_EXPIRED = "expired";
// A whole message may quote the JSON library's reading of the line as well as excerpts.
constexpr size_t MESSAGE_LIMIT = 4 * tfaEventReader::ECHO_LIMIT;
// nlohmann's error id for a number that does not fit a double.
constexpr int NUMBER_OVERFLOW_ID = 406;

std::string Echo(const std::string &text)
{
    return tfaEchoText(text, tfaEventReader::ECHO_LIMIT);
}

const json *Member(const json &payload, const char *key, bool (json::*is_type)() const noexcept,
                   const char *expected)
{
    auto it = payload.find(key);
    if (it == payload.end())
        return nullptr;
    if (!((*it).*is_type)())
        throw tdException("%s: expected %s", key, expected);
    return &*it;
}

bool IsBlank(const std::string &text)
{
    return text.find_first_not_of(" \t\r") == std::string::npos;
}

// Faults json::parse would only find by recursing, or would cut short.
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

json ParseJson(const std::string &text)
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

void ReadInterface(const json &payload, tdFlow &flow)
{
    if (const json *iface = Member(payload, "interface", &json::is_string, "a string"))
        flow.iface_name = iface->get<std::string>();
    if (const json *internal = Member(payload, "internal", &json::is_boolean, "a boolean"))
        flow.iface_role = internal->get<bool>() ? tdFlow::ROLE_LAN : tdFlow::ROLE_WAN;
}

void ReadReason(const json &payload, tdFlow &flow)
{
    const json *reason = Member(payload, "reason", &json::is_string, "a string");
    if (reason == nullptr)
        return;
    const auto &text = reason->get_ref<const std::string &>();
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
    std::string text;
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

bool tfaEventReader::ReadLine(std::string &text, size_t &length)
{
    using Traits = std::istream::traits_type;
    text.clear();
    length = 0;
    std::streambuf *buffer = input.rdbuf();
    for (;;) {
        Traits::int_type c = buffer->sbumpc();
        if (Traits::eq_int_type(c, Traits::eof())) {
            input.setstate(std::ios::eofbit);
            return length > 0;
        }
        if (Traits::to_char_type(c) == '\n')
            return true;
        if (length++ < line_limit)
            text.push_back(Traits::to_char_type(c));
    }
}

void tfaEventReader::Skip(const std::string &reason)
{
    skipped++;
    td_printf("%s:%zu: %s\n", source.c_str(), lines, tfaEchoText(reason, MESSAGE_LIMIT).c_str());
}

tfaReplayEvent tfaEventReader::Parse(const std::string &text)
{
    CheckShape(text);
    json payload = ParseJson(text);
    if (!payload.is_object())
        throw tdException("not a JSON object: %s", payload.type_name());
    for (const auto &member : payload.items())
        if (payload_members.count(member.key()) == 0)
            throw tdException("%s: unknown member", Echo(member.key()).c_str());

    const json *type = Member(payload, "type", &json::is_string, "a string");
    if (type == nullptr)
        throw tdException("type: missing");
    const auto &type_name = type->get_ref<const std::string &>();

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

    const json *flow = Member(payload, "flow", &json::is_object, "an object");
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

    auto intel = payload.find("intel");
    event.intel = intel == payload.end() ? json::object() : *intel;
    return event;
}
