#include "agent/sink_output.hpp"

#include "host/exception.hpp"
#include "host/log.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace
{
// deflateInit2's window bits for a gzip wrapper instead of a zlib one.
constexpr int GZIP_WINDOW_BITS = 15 + 16;
constexpr int GZIP_MEMORY_LEVEL = 8;
constexpr uint64_t MAX_HEADER_LENGTH = std::numeric_limits<uint32_t>::max();
constexpr mode_t FILE_MODE = 0666;

// Setting up a deflate state costs ten times more than compressing a flow payload, so each
// thread keeps one and resets it for every member.
class Deflater
{
public:
    Deflater()
    {
        ready = deflateInit2(&zs, Z_BEST_SPEED, Z_DEFLATED, GZIP_WINDOW_BITS,
                             GZIP_MEMORY_LEVEL, Z_DEFAULT_STRATEGY) == Z_OK;
    }
    ~Deflater()
    {
        if (ready)
            deflateEnd(&zs);
    }
    Deflater(const Deflater &) = delete;
    Deflater &operator=(const Deflater &) = delete;

    // One complete gzip member holding `body`.
    std::string Gzip(const std::string &body)
    {
        if (!ready)
            throw tdException("gzip: %s", "deflateInit2 failed");
        if (body.size() > std::numeric_limits<uInt>::max())
            throw tdException("gzip: payload of %zu bytes is too large", body.size());
        deflateReset(&zs);
        std::string out(deflateBound(&zs, body.size()), '\0');
        zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(body.data()));
        zs.avail_in = static_cast<uInt>(body.size());
        zs.next_out = reinterpret_cast<Bytef *>(&out[0]);
        zs.avail_out = static_cast<uInt>(out.size());
        // deflateBound leaves room for the whole member, so one call finishes it.
        if (deflate(&zs, Z_FINISH) != Z_STREAM_END)
            throw tdException("gzip: %s", zs.msg != nullptr ? zs.msg : "deflate failed");
        out.resize(zs.total_out);
        return out;
    }

private:
    z_stream zs{};
    bool ready;
};

thread_local Deflater deflater;

std::string LengthHeader(size_t length)
{
    if (length > MAX_HEADER_LENGTH)
        throw tdException("header: body of %zu bytes does not fit 32 bits", length);
    std::string header(tdSinkOutput::HEADER_SIZE, '\0');
    for (size_t i = 0; i < tdSinkOutput::HEADER_SIZE; i++)
        header[i] = static_cast<char>(length >> (8 * (tdSinkOutput::HEADER_SIZE - 1 - i)));
    return header;
}

std::mutex installed_lock;
const void *installed = nullptr; // the State of the installed registry
} // namespace

std::shared_ptr<tdSinkOutput> tdSinkOutput::Open(const std::string &sink, const std::string &path)
{
    int fd = path == STDOUT_PATH
                 ? STDOUT_FILENO
                 : open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, FILE_MODE);
    if (fd < 0)
        throw tdException("%s: %s: %s", sink.c_str(), path.c_str(), strerror(errno));
    return std::shared_ptr<tdSinkOutput>(new tdSinkOutput(sink, path, fd));
}

std::shared_ptr<tdSinkOutput> tdSinkOutput::Memory(const std::string &sink)
{
    return std::shared_ptr<tdSinkOutput>(new tdSinkOutput(sink, std::string(), NO_FILE));
}

tdSinkOutput::tdSinkOutput(const std::string &sink, const std::string &path, int fd)
    : sink(sink), path(path), fd(fd)
{
    struct stat sb;
    cuttable = fd != NO_FILE && fstat(fd, &sb) == 0 && S_ISREG(sb.st_mode);
}

tdSinkOutput::~tdSinkOutput()
{
    if (fd != NO_FILE && fd != STDOUT_FILENO)
        close(fd);
}

std::string tdSinkOutput::Render(const json &payload, tdFlags<DispatchFlags> flags)
{
    if (flags.Has(tdPlugin::DF_FORMAT_OBJECT))
        return std::string();

    std::string body;
    if (flags.Has(tdPlugin::DF_FORMAT_MSGPACK)) {
        std::vector<uint8_t> packed = json::to_msgpack(payload);
        body.assign(packed.begin(), packed.end());
    } else {
        body = payload.dump(-1, ' ', false, json::error_handler_t::replace);
        body += '\n';
    }
    if (flags.Has(tdPlugin::DF_COMPRESS_GZ))
        body = deflater.Gzip(body);
    if (flags.Has(tdPlugin::DF_HEADER))
        body.insert(0, LengthHeader(body.size()));
    return body;
}

void tdSinkOutput::Deliver(const json &payload, tdFlags<DispatchFlags> flags)
{
    if (flags.Has(tdPlugin::DF_FORMAT_OBJECT)) {
        if (fd == NO_FILE) {
            std::lock_guard<std::mutex> guard(lock);
            payloads++;
            objects.push_back(payload);
            return;
        }
        flags = tdPlugin::DF_FORMAT_JSON;
    }

    std::string bytes;
    std::string error;
    try {
        bytes = Render(payload, flags);
    } catch (const std::exception &e) {
        error = e.what();
    }

    std::lock_guard<std::mutex> guard(lock);
    payloads++;
    if (error.empty() && !Write(bytes))
        error = strerror(errno);
    if (!error.empty())
        CountLoss(error);
}

// One line per cause: a full disk would otherwise repeat it for every payload.
void tdSinkOutput::CountLoss(const std::string &cause)
{
    failures++;
    if (losses[cause]++ == 0)
        td_printf("%s: %s: %s: records are lost until it clears\n", sink.c_str(),
                  path.empty() ? "memory" : path.c_str(), cause.c_str());
}

bool tdSinkOutput::Write(const std::string &bytes)
{
    if (fd == NO_FILE) {
        memory += bytes;
        bytes_written += bytes.size();
        return true;
    }
    // Lines the process printed before must come out before this record; they also move the
    // boundary of a standard output that is a file.
    if (fd == STDOUT_FILENO)
        fflush(stdout);
    if (cuttable)
        boundary = lseek(fd, 0, SEEK_CUR);
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t length = write(fd, bytes.data() + done, bytes.size() - done);
        if (length < 0 && errno == EINTR)
            continue;
        if (length <= 0) {
            int error = length < 0 ? errno : ENOSPC;
            CutBack();
            errno = error;
            return false;
        }
        done += static_cast<size_t>(length);
    }
    bytes_written += bytes.size();
    return true;
}

// A part of a record would merge with the next one. A file the system will not cut back is
// reported once and from then on left as it is.
void tdSinkOutput::CutBack()
{
    if (!cuttable || boundary < 0)
        return;
    if (ftruncate(fd, boundary) != 0 || lseek(fd, boundary, SEEK_SET) != boundary) {
        cuttable = false;
        td_printf("%s: %s: cannot cut back to the last whole record: %s\n", sink.c_str(),
                  path.c_str(), strerror(errno));
    }
}

uint64_t tdSinkOutput::GetPayloads() const
{
    std::lock_guard<std::mutex> guard(lock);
    return payloads;
}

uint64_t tdSinkOutput::GetBytesWritten() const
{
    std::lock_guard<std::mutex> guard(lock);
    return bytes_written;
}

uint64_t tdSinkOutput::GetFailures() const
{
    std::lock_guard<std::mutex> guard(lock);
    return failures;
}

std::map<std::string, uint64_t> tdSinkOutput::GetLosses() const
{
    std::lock_guard<std::mutex> guard(lock);
    return losses;
}

std::vector<json> tdSinkOutput::GetObjects() const
{
    std::lock_guard<std::mutex> guard(lock);
    return objects;
}

std::string tdSinkOutput::GetBytes() const
{
    std::lock_guard<std::mutex> guard(lock);
    return memory;
}

struct tdSinkOutput::Registry::State {
    mutable std::mutex lock;
    std::map<std::string, std::shared_ptr<tdSinkOutput>> outputs;
    std::map<std::string, uint64_t> unknown;

    void Dispatch(const std::string &sink, const json &payload, tdFlags<DispatchFlags> flags)
    {
        std::shared_ptr<tdSinkOutput> output;
        bool first_unknown = false;
        {
            std::lock_guard<std::mutex> guard(lock);
            auto it = outputs.find(sink);
            if (it != outputs.end())
                output = it->second;
            else
                first_unknown = unknown[sink]++ == 0;
        }
        if (output)
            output->Deliver(payload, flags);
        else if (first_unknown)
            td_printf("tdSinkOutput: unknown sink \"%s\": payloads dropped.\n", sink.c_str());
    }
};

tdSinkOutput::Registry::Registry() : state(std::make_shared<State>())
{
}

tdSinkOutput::Registry::~Registry()
{
    std::lock_guard<std::mutex> guard(installed_lock);
    if (installed != state.get())
        return;
    tdPlugin::SetSinkHandler(nullptr);
    installed = nullptr;
}

void tdSinkOutput::Registry::Add(std::shared_ptr<tdSinkOutput> output)
{
    std::lock_guard<std::mutex> guard(state->lock);
    const std::string name = output->GetSink();
    state->outputs[name] = std::move(output);
}

std::shared_ptr<tdSinkOutput> tdSinkOutput::Registry::Find(const std::string &sink) const
{
    std::lock_guard<std::mutex> guard(state->lock);
    auto it = state->outputs.find(sink);
    return it == state->outputs.end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<tdSinkOutput>> tdSinkOutput::Registry::GetOutputs() const
{
    std::lock_guard<std::mutex> guard(state->lock);
    std::vector<std::shared_ptr<tdSinkOutput>> list;
    for (const auto &entry : state->outputs)
        list.push_back(entry.second);
    return list;
}

std::map<std::string, uint64_t> tdSinkOutput::Registry::GetUnknown() const
{
    std::lock_guard<std::mutex> guard(state->lock);
    return state->unknown;
}

void tdSinkOutput::Registry::Install()
{
    std::lock_guard<std::mutex> guard(installed_lock);
    // The handler shares the state, so a dispatch still running when the registry goes away
    // finishes safely.
    std::shared_ptr<State> shared = state;
    tdPlugin::SetSinkHandler(
        [shared](const std::string &sink, const std::set<std::string> &, json &payload,
                 tdFlags<DispatchFlags> flags) { shared->Dispatch(sink, payload, flags); });
    installed = state.get();
}

void tdSinkOutput::Registry::Dispatch(const std::string &sink,
                                      const std::set<std::string> &channels, const json &payload,
                                      tdFlags<DispatchFlags> flags)
{
    state->Dispatch(sink, payload, flags);
}
