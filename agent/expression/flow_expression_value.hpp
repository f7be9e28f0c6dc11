#pragma once

#include "host/addr.hpp"
#include "host/json.hpp"

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace re2
{
class RE2;
}

// Used inside the agent library only: hidden, so its calls bind directly, not through the PLT.
#pragma GCC visibility push(hidden)

class tdFlowExpressionList;

// One value a flow expression looks at: what a field reads from a flow record or an intel path
// from the flow parameters. It points into the record (or into the scratch text it was rendered
// into) and stays valid until the record changes or the scratch text is reused. Building and
// testing one never allocates.
//
// A set value (risks, tags, an intel array) satisfies a test when any of its elements does; an
// absent value satisfies none. Callers express the negative operators as "not the positive one",
// which makes every comparison with an absent value false and its negation true.
class tdFlowExpressionValue
{
public:
    enum Type : uint8_t {
        T_ABSENT,
        T_NUMBER,
        T_STRING,
        T_BOOLEAN,
        T_ADDRESS,
        T_MAC,
        T_SET,
        T_OBJECT,
    };

    // Integers compare exactly; fractions and integers too large for 64 signed bits compare as
    // doubles.
    struct Number {
        enum ParseResult { P_OK, P_INVALID, P_RANGE };

        bool integral = true;
        int64_t integer = 0;
        double real = 0;

        static Number Integer(int64_t value)
        {
            Number number;
            number.integer = value;
            return number;
        }
        static Number Real(double value)
        {
            Number number;
            number.integral = false;
            number.real = value;
            return number;
        }
        // Decimal with an optional sign and fraction ("-5", "0.25"), or 0x hexadecimal.
        static ParseResult Parse(std::string_view text, Number &number);
        double AsReal() const { return integral ? static_cast<double>(integer) : real; }
    };

    // An IPv4 or IPv6 network or a MAC address prefix; a plain address is a prefix of full length.
    struct Prefix {
        enum Family : uint8_t { F_NONE, F_IPV4, F_IPV6, F_MAC };

        Family family = F_NONE;
        unsigned length = 0;
        uint8_t bytes[16] = {};

        // Parses an address (no length) of any of the three families.
        static bool Parse(std::string_view text, Prefix &prefix);
        // Parses an address with an optional "/length" ("10.0.0.0/8", "fe80::/10").
        static bool ParseNetwork(std::string_view text, Prefix &prefix);
        // False for an unset address or a family other than the three.
        static bool FromAddr(const tdAddr &addr, Prefix &prefix);
        unsigned MaxLength() const;
        // Sets the length, masking the bits past it; false when it exceeds the family's width.
        bool SetLength(unsigned bits);
        bool Contains(const Prefix &address) const;
    };

    // A value written in an expression, already converted to the type it is compared with.
    struct Literal {
        Type type = T_ABSENT;
        Number number;
        std::string text;
        bool boolean = false;
        Prefix prefix; // T_ADDRESS and T_MAC
    };

    enum Order : uint8_t { O_LESS, O_LESS_EQUAL, O_GREATER, O_GREATER_EQUAL };

    static tdFlowExpressionValue Absent() { return tdFlowExpressionValue(); }
    // Fields build these on every read: defined here, so that they inline into the readers.
    static tdFlowExpressionValue Integer(int64_t value)
    {
        tdFlowExpressionValue v;
        v.type = T_NUMBER;
        v.number = Number::Integer(value);
        return v;
    }
    static tdFlowExpressionValue Real(double value)
    {
        tdFlowExpressionValue v;
        v.type = T_NUMBER;
        v.number = Number::Real(value);
        return v;
    }
    // An empty text is absent.
    static tdFlowExpressionValue Text(std::string_view text)
    {
        tdFlowExpressionValue v;
        if (!text.empty()) {
            v.type = T_STRING;
            v.text = text;
        }
        return v;
    }
    static tdFlowExpressionValue Boolean(bool value)
    {
        tdFlowExpressionValue v;
        v.type = T_BOOLEAN;
        v.boolean = value;
        return v;
    }
    // An unset address is absent; an IP address is T_ADDRESS, an Ethernet one T_MAC.
    static tdFlowExpressionValue Address(const tdAddr &addr);
    // Sets: empty ones are still sets (they satisfy nothing). Digests are rendered, one at a
    // time, into `scratch`.
    static tdFlowExpressionValue Risks(const std::set<int32_t> &risks);
    static tdFlowExpressionValue Tags(const std::set<std::string> &tags);
    static tdFlowExpressionValue Strings(const std::vector<std::string> &strings);
    static tdFlowExpressionValue Digests(const std::vector<uint64_t> &digests,
                                         std::string &scratch);
    // null is absent, an array a set, an object T_OBJECT (which equals nothing).
    static tdFlowExpressionValue FromJson(const json &value);

    Type GetType() const { return type; }

    bool EqualsAny(const std::vector<Literal> &literals) const;
    bool Compare(Order order, const Number &number) const;
    bool Matches(const re2::RE2 &regex) const;
    // The value (or one of its elements) is in `list`.
    bool InList(const tdFlowExpressionList &list) const;
    // Present and not false, zero or empty.
    bool IsTrue() const;

private:
    enum SetKind : uint8_t { S_RISKS, S_TAGS, S_STRINGS, S_DIGESTS, S_JSON };

    // Calls `test` with the value itself, or with each element of a set until one passes.
    template <class Test> bool AnyElement(Test test) const;
    // Whether a risks or tags set holds one of `literals`; `decided` false when a literal cannot
    // be looked up and every element must be compared.
    bool SetHoldsAny(const std::vector<Literal> &literals, bool &decided) const;
    // An address, or a text that reads as one (an intel value).
    bool ReadPrefix(Prefix &address) const;

    Type type = T_ABSENT;
    SetKind set_kind = S_RISKS;
    bool boolean = false;
    Number number;
    std::string_view text;
    const tdAddr *addr = nullptr;
    union {
        const std::set<int32_t> *risks;
        const std::set<std::string> *tags;
        const std::vector<std::string> *strings;
        const std::vector<uint64_t> *digests;
        const json *json_value;
    } set{};
    std::string *scratch = nullptr;
};

#pragma GCC visibility pop
