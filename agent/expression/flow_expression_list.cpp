#include "agent/expression/flow_expression_list.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
using List = tdFlowExpressionList;
using Value = tdFlowExpressionValue;

constexpr size_t READ_CHUNK = 65536;
constexpr std::string_view BLANKS = " \t\r\f\v";
constexpr char COMMENT = '#';

std::string TooLarge()
{
    return "larger than " + std::to_string(List::FILE_LIMIT) + " bytes";
}

// Why the open file cannot be read as a list, or empty.
std::string CheckKind(int fd)
{
    struct stat sb;
    if (fstat(fd, &sb) != 0)
        return strerror(errno);
    if (S_ISDIR(sb.st_mode))
        return strerror(EISDIR);
    if (!S_ISREG(sb.st_mode))
        return "not a regular file";
    if (static_cast<unsigned long long>(sb.st_size) > List::FILE_LIMIT)
        return TooLarge();
    return std::string();
}

// Reads to the end, refusing a file that grew past the limit while it was read.
std::string ReadAll(int fd, std::string &text)
{
    char buffer[READ_CHUNK];
    for (;;) {
        ssize_t length = read(fd, buffer, sizeof(buffer));
        if (length < 0 && errno == EINTR)
            continue;
        if (length < 0)
            return strerror(errno);
        if (length == 0)
            return std::string();
        if (text.size() + static_cast<size_t>(length) > List::FILE_LIMIT)
            return TooLarge();
        text.append(buffer, static_cast<size_t>(length));
    }
}

// A regular file only, opened without blocking, so that a FIFO cannot stall the compiler.
// Returns why it cannot be read, or an empty string.
std::string ReadListFile(const std::string &path, std::string &text)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return strerror(errno);
    std::string error = CheckKind(fd);
    if (error.empty())
        error = ReadAll(fd, text);
    close(fd);
    return error;
}

std::string_view Trim(std::string_view text)
{
    size_t first = text.find_first_not_of(BLANKS);
    if (first == std::string_view::npos)
        return std::string_view();
    return text.substr(first, text.find_last_not_of(BLANKS) - first + 1);
}

// The value a line holds, or an empty view. A "#" no value can hold (in an address or a number)
// starts a comment anywhere; in a text list only at the start of the line.
std::string_view LineValue(std::string_view line, Value::Type type)
{
    if (type != Value::T_STRING)
        line = line.substr(0, line.find(COMMENT));
    line = Trim(line);
    return !line.empty() && line[0] == COMMENT ? std::string_view() : line;
}

bool IsFamily(const Value::Prefix &prefix, Value::Type type)
{
    if (type == Value::T_MAC)
        return prefix.family == Value::Prefix::F_MAC;
    return prefix.family == Value::Prefix::F_IPV4 || prefix.family == Value::Prefix::F_IPV6;
}

// Why `value` is no address or network of `type`.
const char *AddressFault(std::string_view value, Value::Type type)
{
    Value::Prefix address;
    bool address_fine = Value::Prefix::Parse(value.substr(0, value.find('/')), address) &&
                        IsFamily(address, type);
    if (address_fine)
        return "invalid prefix length";
    return type == Value::T_MAC ? "invalid MAC address" : "invalid address";
}

const char *NumberFault(Value::Number::ParseResult result)
{
    return result == Value::Number::P_RANGE ? "number out of range" : "invalid number";
}

void Mix(uint64_t &hash, uint64_t word)
{
    hash = (hash ^ word) * 0x9e3779b97f4a7c15ULL;
    hash ^= hash >> 29;
}
} // namespace

bool List::Network::operator==(const Network &other) const
{
    return high == other.high && low == other.low && family == other.family &&
           length == other.length;
}

size_t List::NetworkHash::operator()(const Network &network) const
{
    uint64_t hash = network.length | static_cast<uint64_t>(network.family) << 8;
    Mix(hash, network.high);
    Mix(hash, network.low);
    return static_cast<size_t>(hash);
}

std::shared_ptr<const List> List::Load(const std::string &path, Value::Type type)
{
    std::shared_ptr<List> list(new List());
    std::string error = ReadListFile(path, list->content);
    if (!error.empty())
        throw "cannot read " + path + ": " + error;

    std::string_view rest = list->content;
    for (size_t line = 1; !rest.empty(); line++) {
        size_t end = rest.find('\n');
        std::string_view value = LineValue(rest.substr(0, end), type);
        const char *fault = value.empty() ? nullptr : list->Add(value, type);
        if (fault)
            throw path + ":" + std::to_string(line) + ": " + fault + ": " + std::string(value);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    }
    return list;
}

const char *List::Add(std::string_view value, Value::Type type)
{
    switch (type) {
    case Value::T_STRING:
        texts.insert(value);
        return nullptr;
    case Value::T_NUMBER: {
        Number number;
        Number::ParseResult result = Number::Parse(value, number);
        if (result != Number::P_OK)
            return NumberFault(result);
        if (number.integral)
            integers.insert(number.integer);
        else
            reals.insert(number.real);
        return nullptr;
    }
    default: {
        Prefix prefix;
        if (!Prefix::ParseNetwork(value, prefix) || !IsFamily(prefix, type))
            return AddressFault(value, type);
        AddNetwork(prefix);
        return nullptr;
    }
    }
}

void List::AddNetwork(const Prefix &prefix)
{
    std::vector<Length> &known = lengths[prefix.family];
    auto found = std::find_if(known.begin(), known.end(), [&prefix](const Length &known_length) {
        return known_length.length == prefix.length;
    });
    if (found == known.end()) {
        Prefix mask;
        mask.family = prefix.family;
        memset(mask.bytes, 0xff, sizeof(mask.bytes));
        mask.SetLength(prefix.length);
        Length length{static_cast<uint8_t>(prefix.length), 0, 0};
        memcpy(&length.high, mask.bytes, sizeof(length.high));
        memcpy(&length.low, mask.bytes + sizeof(length.high), sizeof(length.low));
        found = known.insert(known.end(), length);
    }
    networks.insert(Masked(prefix, *found));
}

List::Network List::Masked(const Prefix &address, const Length &mask)
{
    Network network;
    memcpy(&network.high, address.bytes, sizeof(network.high));
    memcpy(&network.low, address.bytes + sizeof(network.high), sizeof(network.low));
    network.high &= mask.high;
    network.low &= mask.low;
    network.family = address.family;
    network.length = mask.length;
    return network;
}

bool List::ContainsNumber(const Number &number) const
{
    if (number.integral)
        return integers.count(number.integer) || reals.count(number.AsReal());
    if (reals.count(number.real))
        return true;
    // A whole real equals the integer of the same value.
    constexpr double INT64_BOUND = 9223372036854775808.0; // 2^63
    bool whole = number.real >= -INT64_BOUND && number.real < INT64_BOUND &&
                 number.real == static_cast<double>(static_cast<int64_t>(number.real));
    return whole && integers.count(static_cast<int64_t>(number.real));
}

bool List::ContainsText(std::string_view text) const
{
    return texts.count(text) != 0;
}

bool List::ContainsAddress(const Prefix &address) const
{
    if (address.family >= std::size(lengths))
        return false;
    for (const Length &mask : lengths[address.family])
        if (networks.count(Masked(address, mask)))
            return true;
    return false;
}
