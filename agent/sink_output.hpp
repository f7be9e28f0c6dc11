#pragma once

#include "host/flags.hpp"
#include "host/json.hpp"
#include "host/plugin.hpp"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

// Where the stand-in host delivers sink payloads: one output per sink name, writing to a file,
// to standard output, or to memory. Each payload is rendered as its dispatch flags ask:
//
// - DF_FORMAT_OBJECT: a memory output keeps the payload itself in its object list
//   (GetObjects); a file output, which must not grow with the run, writes it as a JSON line.
//   Compression and header do not apply.
// - DF_FORMAT_MSGPACK: nlohmann's MessagePack encoding; strings are copied as bytes.
// - otherwise JSON text on one line, ending with "\n"; invalid UTF-8 is replaced by U+FFFD.
// - DF_COMPRESS_GZ: the rendered body becomes one complete gzip member, so a file of several
//   payloads is a valid multi-member gzip stream (zcat prints it whole).
// - DF_HEADER (either of its bits): the body is preceded by its length in 4 bytes, big-endian,
//   counted after compression; a reader takes 4 bytes, then exactly that many.
//
// Every operation is thread-safe. Delivery never throws on payload content. Each record reaches a
// file whole or not at all: after a short or failed write, a regular file is cut back to the end
// of the last whole record, so the JSON lines, the length-header frames and the gzip members
// written before and after the fault stay readable. A record that is not written is lost:
// counted by cause, and each cause reported once per output through td_printf.
class tdSinkOutput
{
public:
    using DispatchFlags = tdPlugin::DispatchFlags;

    static constexpr size_t HEADER_SIZE = 4;
    static constexpr const char *STDOUT_PATH = "-";

    // Writes to `path`, created or truncated, or to standard output when `path` is "-". Throws
    // tdException "<sink>: <path>: <error text>" when the file cannot be opened.
    static std::shared_ptr<tdSinkOutput> Open(const std::string &sink, const std::string &path);
    // Keeps written bytes in memory (GetBytes).
    static std::shared_ptr<tdSinkOutput> Memory(const std::string &sink);

    ~tdSinkOutput();
    tdSinkOutput(const tdSinkOutput &) = delete;
    tdSinkOutput &operator=(const tdSinkOutput &) = delete;

    // The bytes written for `payload` under `flags` (empty for DF_FORMAT_OBJECT). Throws
    // tdException when compression fails or the body does not fit the header's length.
    static std::string Render(const json &payload, tdFlags<DispatchFlags> flags);

    // Renders and writes, or keeps, one payload; counts it. Does not throw on failure.
    void Deliver(const json &payload, tdFlags<DispatchFlags> flags);

    const std::string &GetSink() const { return sink; }
    // The path given to Open, "-" for standard output, empty for a memory output.
    const std::string &GetPath() const { return path; }
    uint64_t GetPayloads() const;
    uint64_t GetBytesWritten() const;
    // Records lost, in all and by cause (the system's error text, or why rendering failed).
    uint64_t GetFailures() const;
    std::map<std::string, uint64_t> GetLosses() const;
    std::vector<json> GetObjects() const;
    // Everything a memory output was given to write; empty for other outputs.
    std::string GetBytes() const;

    // Outputs by sink name, and the receiver of tdPlugin::DispatchSinkPayload once installed.
    // Channels are accepted and not told apart. Payloads for a sink without an output are
    // counted by name and dropped; the first one of each name is reported through td_printf.
    class Registry
    {
    public:
        Registry();
        // Uninstalls the registry when it is still the installed one.
        ~Registry();
        Registry(const Registry &) = delete;
        Registry &operator=(const Registry &) = delete;

        // Registers `output` under its sink name, replacing an output of the same name.
        void Add(std::shared_ptr<tdSinkOutput> output);
        std::shared_ptr<tdSinkOutput> Find(const std::string &sink) const;
        // Registered outputs in order of sink name.
        std::vector<std::shared_ptr<tdSinkOutput>> GetOutputs() const;
        // Payloads addressed to names without an output, by name.
        std::map<std::string, uint64_t> GetUnknown() const;

        // Makes this registry the tdPlugin sink handler.
        void Install();
        void Dispatch(const std::string &sink, const std::set<std::string> &channels,
                      const json &payload, tdFlags<DispatchFlags> flags);

    private:
        struct State;
        std::shared_ptr<State> state;
    };

private:
    static constexpr int NO_FILE = -1;

    tdSinkOutput(const std::string &sink, const std::string &path, int fd);

    // Writes all of `bytes` or, cutting the file back, none; false with errno set.
    bool Write(const std::string &bytes);
    void CutBack();
    void CountLoss(const std::string &cause);

    const std::string sink;
    const std::string path;
    const int fd; // NO_FILE for a memory output
    // Only a regular file can be cut back; a pipe or terminal keeps what reached it.
    bool cuttable = false;
    off_t boundary = 0; // where the last whole record ends

    mutable std::mutex lock;
    uint64_t payloads = 0;
    uint64_t bytes_written = 0;
    uint64_t failures = 0;
    std::map<std::string, uint64_t> losses;
    std::vector<json> objects;
    std::string memory;
};
