#pragma once

#include "tools/replay/event_source.hpp"

#include <istream>
#include <string>
#include <vector>

// Reads a replay file: JSON Lines, one sink payload object a line, as the sink target writes
// them. "type" picks the event ("flow" dpi_new, "flow_update" dpi_update, "flow_dpi_complete"
// dpi_complete, "flow_purge" flow_expired, "flow_intel" flow_intel, or the control lines
// "update" and "reload"); "interface" and "internal" give the capture interface and its role
// (LAN when true, WAN when false); "flow" the flow record (tfaFlowDecoder); "reason": "closed"
// on a "flow_purge" line marks a closed TCP connection; "intel" the document of a "flow_intel"
// line. "flow_action" and "tags", which a sink target adds, are accepted and not used.
//
// Blank lines are passed over. A malformed line is reported through td_printf as
// "<source>:<line>: <reason>" and skipped; the count is kept. So is a line longer than the
// reader's limit (its bytes past the limit are read and dropped, never held), a line with a NUL
// byte, and a line nested deeper than DEPTH_LIMIT arrays and objects, which the parser refuses
// without recursing. Lines are parsed with simdjson; one it refuses is read again with nlohmann,
// whose messages name the line's column. Messages show input text with control characters
// escaped, each excerpt of it at most ECHO_LIMIT bytes.
class tfaEventReader : public tfaEventSource
{
public:
    static constexpr size_t DEFAULT_LINE_LIMIT = 16 * 1024 * 1024;
    static constexpr size_t DEPTH_LIMIT = 128;
    static constexpr size_t ECHO_LIMIT = 64;

    // `source` names the input in messages, e.g. the file's path; lines longer than
    // `line_limit` bytes (not counting the newline) are skipped.
    tfaEventReader(std::istream &input, const std::string &source,
                   size_t line_limit = DEFAULT_LINE_LIMIT);

    // The next well-formed line; false at the end of the input.
    bool Next(tfaReplayEvent &event) override;

    size_t GetLines() const { return lines; }
    size_t GetSkipped() const override { return skipped; }

    // Decodes one line. Throws tdException with the reason when it is malformed.
    static tfaReplayEvent Parse(const std::string &text);

private:
    // Bytes taken from the stream at most at once.
    static constexpr size_t CHUNK_SIZE = 64 * 1024;

    // One line without its newline, at most line_limit bytes of it; `length` is the whole
    // line's. False at the end of the input.
    bool ReadLine(std::string &line, size_t &length);
    // Refills `chunk` from the stream; false at its end.
    bool FillChunk();
    void Skip(const std::string &reason);

    std::istream &input;
    // Read from the stream a chunk at a time; chunk_begin to chunk_end is not yet taken.
    std::vector<char> chunk;
    size_t chunk_begin = 0;
    size_t chunk_end = 0;
    // The line being read, kept so that its storage serves every line.
    std::string text;
    std::string source;
    size_t line_limit;
    size_t lines = 0;
    size_t skipped = 0;
};
