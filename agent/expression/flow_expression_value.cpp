#include "agent/expression/flow_expression_value.hpp"

#include "agent/expression/flow_expression_list.hpp"
#include "agent/mac_text.hpp"
#include "host/digest.hpp"
#include "host/link_addr.hpp"

#include <arpa/inet.h>
#include <charconv>
#include <cstring>
#include <endian.h>
#include <limits>
#include <re2/re2.h>

namespace
{
using Value = tdFlowExpressionValue;

constexpr unsigned IPV4_BITS = 32;
constexpr unsigned IPV6_BITS = 128;
constexpr unsigned MAC_BITS = 48;
// Longer than any address text, so a longer input is no address.
constexpr size_t ADDRESS_TEXT_MAX = 64;
constexpr int UNORDERED = 2;

bool IsDigits(std::string_view text, int base)
{
    for (char c : text) {
        bool digit = base == 16 ? isxdigit(static_cast<unsigned char>(c))
                                : isdigit(static_cast<unsigned char>(c));
        if (!digit)
            return false;
    }
    return !text.empty();
}

// -1, 0 or 1, or UNORDERED when a NaN takes part.
int CompareNumbers(const Value::Number &a, const Value::Number &b)
{
    if (a.integral && b.integral)
        return a.integer < b.integer ? -1 : a.integer > b.integer ? 1 : 0;
    double x = a.AsReal(), y = b.AsReal();
    if (x < y)
        return -1;
    if (x > y)
        return 1;
    return x == y ? 0 : UNORDERED;
}

bool Ordered(int comparison, Value::Order order)
{
    switch (order) {
    case Value::O_LESS:
        return comparison == -1;
    case Value::O_LESS_EQUAL:
        return comparison == -1 || comparison == 0;
    case Value::O_GREATER:
        return comparison == 1;
    case Value::O_GREATER_EQUAL:
        return comparison == 1 || comparison == 0;
    }
    return false;
}

} // namespace

Value::Number::ParseResult Value::Number::Parse(std::string_view text, Number &number)
{
    bool negative = !text.empty() && text[0] == '-';
    std::string_view digits = text.substr(negative ? 1 : 0);
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.remove_prefix(2);
    }

    size_t dot = digits.find('.');
    if (dot != std::string_view::npos) {
        if (base != 10 || !IsDigits(digits.substr(0, dot), 10) ||
            !IsDigits(digits.substr(dot + 1), 10))
            return P_INVALID;
        double real = 0;
        if (std::from_chars(text.data(), text.data() + text.size(), real).ec != std::errc())
            return P_RANGE;
        number = Real(real);
        return P_OK;
    }

    uint64_t magnitude = 0;
    if (!IsDigits(digits, base))
        return P_INVALID;
    auto result = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude, base);
    uint64_t limit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + negative;
    if (result.ec == std::errc::result_out_of_range || magnitude > limit)
        return P_RANGE;
    number =
        Integer(negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude));
    return P_OK;
}

bool Value::Prefix::Parse(std::string_view text, Prefix &prefix)
{
    prefix = Prefix();
    if (text.size() >= ADDRESS_TEXT_MAX || text.find('\0') != std::string_view::npos)
        return false;
    char buffer[ADDRESS_TEXT_MAX];
    memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';

    if (inet_pton(AF_INET, buffer, prefix.bytes) == 1)
        prefix.family = F_IPV4;
    else if (inet_pton(AF_INET6, buffer, prefix.bytes) == 1)
        prefix.family = F_IPV6;
    else if (td_parse_mac(text, prefix.bytes))
        prefix.family = F_MAC;
    else
        return false;
    prefix.length = prefix.MaxLength();
    return true;
}

bool Value::Prefix::ParseNetwork(std::string_view text, Prefix &prefix)
{
    size_t slash = text.find('/');
    if (!Parse(text.substr(0, slash), prefix))
        return false;
    if (slash == std::string_view::npos)
        return true;
    std::string_view digits = text.substr(slash + 1);
    unsigned length = 0;
    auto result = std::from_chars(digits.data(), digits.data() + digits.size(), length);
    return IsDigits(digits, 10) && result.ec == std::errc() &&
           result.ptr == digits.data() + digits.size() && prefix.SetLength(length);
}

bool Value::Prefix::FromAddr(const tdAddr &addr, Prefix &prefix)
{
    prefix = Prefix();
    if (addr.IsIPv4()) {
        prefix.family = F_IPV4;
        memcpy(prefix.bytes, &addr.addr.in.sin_addr, sizeof(in_addr));
    } else if (addr.IsIPv6()) {
        prefix.family = F_IPV6;
        memcpy(prefix.bytes, &addr.addr.in6.sin6_addr, sizeof(in6_addr));
    } else if (td_link_ether(addr.addr.ss, prefix.bytes)) {
        prefix.family = F_MAC;
    } else
        return false;
    prefix.length = prefix.MaxLength();
    return true;
}

unsigned Value::Prefix::MaxLength() const
{
    switch (family) {
    case F_IPV4:
        return IPV4_BITS;
    case F_IPV6:
        return IPV6_BITS;
    case F_MAC:
        return MAC_BITS;
    case F_NONE:
        break;
    }
    return 0;
}

bool Value::Prefix::SetLength(unsigned bits)
{
    if (bits > MaxLength())
        return false;
    length = bits;
    for (unsigned i = bits / 8; i < sizeof(bytes); i++) {
        unsigned kept = i == bits / 8 ? bits % 8 : 0;
        bytes[i] &= static_cast<uint8_t>(0xff00 >> kept);
    }
    return true;
}

// Two words at a time, the bits past the network's length masked off; no byte loop or memcmp.
bool Value::Prefix::Contains(const Prefix &address) const
{
    if (family != address.family)
        return false;
    uint64_t network_words[2], address_words[2];
    memcpy(network_words, bytes, sizeof(network_words));
    memcpy(address_words, address.bytes, sizeof(address_words));
    unsigned high_bits = length < 64 ? length : 64, low_bits = length - high_bits;
    uint64_t high_mask = high_bits ? htobe64(~0ULL << (64 - high_bits)) : 0;
    uint64_t low_mask = low_bits ? htobe64(~0ULL << (64 - low_bits)) : 0;
    return ((network_words[0] ^ address_words[0]) & high_mask) == 0 &&
           ((network_words[1] ^ address_words[1]) & low_mask) == 0;
}

Value Value::Address(const tdAddr &addr)
{
    Value v;
    if (addr.IsIPv4() || addr.IsIPv6())
        v.type = T_ADDRESS;
    else if (addr.IsEthernet())
        v.type = T_MAC;
    v.addr = &addr;
    return v;
}

Value Value::Risks(const std::set<int32_t> &risks)
{
    Value v;
    v.type = T_SET;
    v.set_kind = S_RISKS;
    v.set.risks = &risks;
    return v;
}

Value Value::Tags(const std::set<std::string> &tags)
{
    Value v;
    v.type = T_SET;
    v.set_kind = S_TAGS;
    v.set.tags = &tags;
    return v;
}

Value Value::Strings(const std::vector<std::string> &strings)
{
    Value v;
    v.type = T_SET;
    v.set_kind = S_STRINGS;
    v.set.strings = &strings;
    return v;
}

Value Value::Digests(const std::vector<uint64_t> &digests, std::string &scratch)
{
    Value v;
    v.type = T_SET;
    v.set_kind = S_DIGESTS;
    v.set.digests = &digests;
    v.scratch = &scratch;
    return v;
}

Value Value::FromJson(const json &value)
{
    switch (value.type()) {
    case json::value_t::boolean:
        return Boolean(value.get<bool>());
    case json::value_t::number_integer:
        return Integer(value.get<int64_t>());
    case json::value_t::number_unsigned: {
        uint64_t number = value.get<uint64_t>();
        if (number > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
            return Real(static_cast<double>(number));
        return Integer(static_cast<int64_t>(number));
    }
    case json::value_t::number_float:
        return Real(value.get<double>());
    case json::value_t::string:
        return Text(value.get_ref<const json::string_t &>());
    case json::value_t::array: {
        Value v;
        v.type = T_SET;
        v.set_kind = S_JSON;
        v.set.json_value = &value;
        return v;
    }
    case json::value_t::object: {
        Value v;
        v.type = T_OBJECT;
        v.set.json_value = &value;
        return v;
    }
    default:
        return Absent();
    }
}

template <class Test> bool Value::AnyElement(Test test) const
{
    if (type != T_SET)
        return test(*this);
    switch (set_kind) {
    case S_RISKS:
        for (int32_t risk : *set.risks)
            if (test(Integer(risk)))
                return true;
        break;
    case S_TAGS:
        for (const std::string &tag : *set.tags)
            if (test(Text(tag)))
                return true;
        break;
    case S_STRINGS:
        for (const std::string &string : *set.strings)
            if (test(Text(string)))
                return true;
        break;
    case S_DIGESTS:
        for (uint64_t digest : *set.digests) {
            td_xxh64_to_string(digest, *scratch);
            if (test(Text(*scratch)))
                return true;
        }
        break;
    case S_JSON:
        for (const json &element : *set.json_value)
            if (test(FromJson(element)))
                return true;
        break;
    }
    return false;
}

// Risks and tags are ordered sets: a literal of their own type is looked up, not compared with
// every element.
bool Value::SetHoldsAny(const std::vector<Literal> &literals, bool &decided) const
{
    decided = true;
    for (const Literal &literal : literals) {
        bool risk = set_kind == S_RISKS && literal.type == T_NUMBER && literal.number.integral &&
                    literal.number.integer >= std::numeric_limits<int32_t>::min() &&
                    literal.number.integer <= std::numeric_limits<int32_t>::max();
        bool tag = set_kind == S_TAGS && literal.type == T_STRING;
        if (!risk && !tag) {
            decided = false;
            return false;
        }
        if (risk ? set.risks->count(static_cast<int32_t>(literal.number.integer)) != 0
                 : set.tags->count(literal.text) != 0)
            return true;
    }
    return false;
}

bool Value::EqualsAny(const std::vector<Literal> &literals) const
{
    bool decided = false;
    if (type == T_SET && (set_kind == S_RISKS || set_kind == S_TAGS)) {
        bool holds = SetHoldsAny(literals, decided);
        if (decided)
            return holds;
    }
    return AnyElement([&literals](const Value &element) {
        Prefix address;
        int address_read = -1; // read once, at the first address literal
        for (const Literal &literal : literals) {
            switch (literal.type) {
            case T_NUMBER:
                if (element.type == T_NUMBER && CompareNumbers(element.number, literal.number) == 0)
                    return true;
                break;
            case T_STRING:
                if (element.type == T_STRING && element.text == literal.text)
                    return true;
                break;
            case T_BOOLEAN:
                if (element.type == T_BOOLEAN && element.boolean == literal.boolean)
                    return true;
                break;
            case T_ADDRESS:
            case T_MAC:
                if (address_read < 0)
                    address_read = element.ReadPrefix(address);
                if (address_read && literal.prefix.Contains(address))
                    return true;
                break;
            default:
                break;
            }
        }
        return false;
    });
}

bool Value::Compare(Order order, const Number &other) const
{
    return AnyElement([order, &other](const Value &element) {
        return element.type == T_NUMBER && Ordered(CompareNumbers(element.number, other), order);
    });
}

bool Value::Matches(const re2::RE2 &regex) const
{
    return AnyElement([&regex](const Value &element) {
        // Match itself, not PartialMatch: no submatch arguments to prepare on every call.
        re2::StringPiece text(element.text.data(), element.text.size());
        return element.type == T_STRING &&
               regex.Match(text, 0, text.size(), re2::RE2::UNANCHORED, nullptr, 0);
    });
}

bool Value::InList(const tdFlowExpressionList &list) const
{
    return AnyElement([&list](const Value &element) {
        Prefix address;
        switch (element.type) {
        case T_NUMBER:
            return list.ContainsNumber(element.number);
        case T_STRING:
            return list.ContainsText(element.text);
        case T_ADDRESS:
        case T_MAC:
            return Prefix::FromAddr(*element.addr, address) && list.ContainsAddress(address);
        default:
            return false;
        }
    });
}

bool Value::IsTrue() const
{
    switch (type) {
    case T_ABSENT:
        return false;
    case T_NUMBER:
        return number.integral ? number.integer != 0 : number.real != 0;
    case T_BOOLEAN:
        return boolean;
    case T_STRING:
    case T_ADDRESS:
    case T_MAC:
        return true;
    case T_SET:
        return AnyElement([](const Value &) { return true; });
    case T_OBJECT:
        return !set.json_value->empty();
    }
    return false;
}

bool Value::ReadPrefix(Prefix &address) const
{
    if (type == T_ADDRESS || type == T_MAC)
        return Prefix::FromAddr(*addr, address);
    return type == T_STRING && Prefix::Parse(text, address);
}
